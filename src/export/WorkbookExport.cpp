#include "WorkbookExport.h"

#include "TextSheetStream.h"
#include "XlsBook.h"
#include "XlsFormat.h"
#include "platform/LocalTime.h"

#include <cerrno>
#include <ctime>

namespace exporter {

std::string DefaultFileName(std::time_t now) {
    std::tm local{};
    char name[128] = "TarnobelDataFile";
    if (platform::ToLocalTime(now, local)) std::strftime(name, sizeof name, "TarnobelDataFile-%Y-%m-%d-%H-%M-%S", &local);
    return std::string(name) + ".xls";
}

namespace {

// The globals of the table's book: the default fonts and cell formats, and a bold one for the
// header row, whose cell format is returned.
std::uint16_t TableGlobals(Biff8::Workbook& globals) {
    XlsBook book;
    book.New();
    XlsFormatManager formats(&book);
    XlsFont bold;
    bold.weight = 700;
    XlsCellFormat header(&formats);
    header.fontIndex = formats.GetFontIndex(bold);
    const auto xf = static_cast<std::uint16_t>(header.GetXfIndex(formats));
    globals = std::move(book.globals);
    return xf;
}

// The header row of titles and one row of texts per table row. The texts are read once, while
// the stream is built; `progress` moves from 270000 to 600000 meanwhile.
Biff8::TextSheetStream TableStream(const std::array<std::u16string, kColumns>& titles, std::size_t rows,
                                   const CellText& text, std::atomic<int>* progress) {
    Biff8::Workbook globals;
    Biff8::TextSheet sheet;
    sheet.firstRowXf = TableGlobals(globals);
    sheet.rows = static_cast<std::uint32_t>(rows + 1);
    sheet.columns = kColumns;
    sheet.text = [&](std::uint32_t row, std::uint16_t column) {
        return row == 0 ? HeaderTitle(titles[column]) : text(row - 1, column);
    };
    if (progress) progress->store(270000);
    const int step = static_cast<int>(330000 / (rows + 1));
    return Biff8::TextSheetStream(std::move(globals), std::move(sheet), [progress, step](std::uint32_t) {
        if (progress) progress->fetch_add(step);
    });
}

}  // namespace

std::vector<std::uint8_t> BuildTableStream(const std::array<std::u16string, kColumns>& titles, std::size_t rows,
                                           const CellText& text) {
    if (rows > XlsSheet::kMaxRows - 1) return {};
    return TableStream(titles, rows, text, nullptr).Bytes();
}

SaveResult WriteTableWorkbook(const std::string& path, const std::array<std::u16string, kColumns>& titles,
                              std::size_t rows, const CellText& text, std::atomic<int>* progress,
                              std::stop_token stop, UnmovedFile* unmoved) {
    SaveResult result;
    // The sheet holds 65536 rows: the header and 65535 data rows. Refuse more instead of
    // silently dropping rows.
    if (rows > XlsSheet::kMaxRows - 1) {
        result.error = EFBIG;
        return result;
    }
    if (progress) progress->store(5000);
    Biff8::TextSheetStream stream = TableStream(titles, rows, text, progress);
    if (stop.stop_requested()) {
        result.error = ECANCELED;
        return result;
    }
    if (!stream.Valid()) {  // a text longer than a cell holds, or more than a file holds
        result.error = stream.Trouble() == Biff8::TextSheetStream::Problem::TooLarge ? EFBIG : EINVAL;
        return result;
    }
    cfb::Error error;
    std::unique_ptr<cfb::Writer> file = cfb::Writer::Create(path, error);
    if (!file) {
        result.error = error.code;
        return result;
    }
    // The records go to the file as they are produced, a block of rows at a time.
    const int step = static_cast<int>(350000 / ((rows + 1 + 31) / 32));
    bool saved = file->Write(u"Workbook", stream.Size(), [&](const cfb::ByteSink& sink) {
        // A stop (the window going away) ends the writing: no file is left.
        const cfb::ByteSink unlessStopped = [&](const std::uint8_t* data, std::size_t n) {
            return !stop.stop_requested() && sink(data, n);
        };
        return stream.Write(unlessStopped, [&](std::uint32_t) {
            if (progress) progress->fetch_add(step);
        });
    });
    // Into place now, or left complete under its own name for the caller to move.
    if (saved && unmoved) {
        unmoved->target = file->Target();
        unmoved->written = file->Keep();
        saved = !unmoved->written.empty();
    } else if (saved) {
        saved = file->Commit();
    }
    if (progress) progress->store(950000);
    result.written = saved;
    result.error = saved ? 0 : stop.stop_requested() ? ECANCELED : file->LastError().code ? file->LastError().code : EIO;
    return result;
}

}  // namespace exporter
