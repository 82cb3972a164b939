#include "WorkbookExport.h"

#include "XlsBook.h"
#include "XlsFormat.h"

#include <cerrno>

namespace exporter {

namespace {

// The bold header row and one row of texts per table row, in a fresh book.
void FillTableBook(XlsBook& book, const std::array<std::u16string, kColumns>& titles, std::size_t rows,
                   const CellText& text, std::atomic<int>* progress) {
    auto report = [progress](int value) {
        if (progress) progress->store(value);
    };
    book.New();
    XlsSheet* sheet = book.GetSheet(0);
    {
        XlsFormatManager formats(&book);
        report(5000);
        XlsFont bold;
        bold.weight = 700;
        XlsCellFormat header(&formats);
        header.fontIndex = formats.GetFontIndex(bold);
        report(240000);
        for (int c = 0; c < kColumns; ++c) {
            XlsCell* cell = sheet->Cell(0, c);
            cell->SetWString(std::u16string_view(titles[static_cast<std::size_t>(c)]).substr(0, kMaxTitleUnits));
            if (header.cachedXfIndex == -1) header.cachedXfIndex = static_cast<std::int32_t>(header.GetXfIndex(formats));
            cell->SetXfIndex(static_cast<std::uint32_t>(header.cachedXfIndex));
        }
        sheet->ReserveRows(static_cast<int>(rows + 1));
        const int step = static_cast<int>(500000 / (rows + 1));
        report(270000);
        for (std::size_t r = 0; r < rows; ++r) {
            if (progress) progress->fetch_add(step);
            for (int c = 0; c < kColumns; ++c) sheet->Cell(static_cast<int>(r + 1), c)->SetWString(text(r, c));
        }
        report(950000);
    }
}

}  // namespace

std::vector<std::uint8_t> BuildTableStream(const std::array<std::u16string, kColumns>& titles, std::size_t rows,
                                           const CellText& text) {
    if (rows > XlsSheet::kMaxRows - 1) return {};
    XlsBook book;
    FillTableBook(book, titles, rows, text, nullptr);
    return book.BuildStream();
}

SaveResult WriteTableWorkbook(const std::string& path, const std::array<std::u16string, kColumns>& titles,
                              std::size_t rows, const CellText& text, std::atomic<int>* progress,
                              std::stop_token stop) {
    SaveResult result;
    // The sheet holds 65536 rows: the header and 65535 data rows. Refuse more instead of
    // silently dropping rows.
    if (rows > XlsSheet::kMaxRows - 1) {
        result.error = EFBIG;
        return result;
    }
    XlsBook book;
    FillTableBook(book, titles, rows, text, progress);
    if (stop.stop_requested()) {
        result.error = ECANCELED;
        return result;
    }
    const platform::HRESULT created = platform::StgCreateDocfile(
        path.c_str(), platform::STGM_CREATE | platform::STGM_SHARE_EXCLUSIVE | platform::STGM_READWRITE, 0, &book.storage);
    if (created < 0 || !book.storage) {
        book.storage = nullptr;
        result.error = platform::LastStorageError() ? platform::LastStorageError() : EIO;
        return result;
    }
    const bool saved = book.CreateWorkbookStream() == 1 && book.Save();
    const int writeError = book.storage->LastError();
    // Releasing the storage moves the finished file into place; a failed move is reported
    // through the thread's last storage error.
    platform::ResetStorageError();
    book.storage->Release();
    book.storage = nullptr;
    const int releaseError = platform::LastStorageError();
    result.written = saved && releaseError == 0;
    result.error = result.written ? 0 : (writeError ? writeError : releaseError ? releaseError : EIO);
    return result;
}

}  // namespace exporter
