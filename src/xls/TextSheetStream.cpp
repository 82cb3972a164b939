#include "TextSheetStream.h"

#include "DistinctIndex.h"
#include "SharedStrings.h"

#include <algorithm>
#include <cstring>

namespace Biff8 {

namespace {

constexpr std::uint32_t kRowsPerBlock = 32;
constexpr std::uint32_t kRowRecord = 20, kDbcellHead = 8;

// Collects what is written into pieces of a fixed size and hands each full piece to the sink.
// After the sink has refused one, the rest is dropped.
class PieceWriter {
public:
    explicit PieceWriter(const cfb::ByteSink& sink) : sink_(sink), piece_(kPiece) {}

    // `n` bytes of room at the end of the current piece.
    std::uint8_t* Room(std::size_t n) {
        if (piece_.size() - used_ < n) {
            Flush();
            if (n > piece_.size()) piece_.resize(n);
        }
        std::uint8_t* at = piece_.data() + used_;
        used_ += n;
        return at;
    }
    void U8(std::uint8_t v) { *Room(1) = v; }
    void U16(std::uint16_t v) { Put16(Room(2), v); }
    void U32(std::uint32_t v) { Put32(Room(4), v); }
    void Bytes(const void* data, std::size_t n) {
        if (n) std::memcpy(Room(n), data, n);
    }
    // Every byte of `r` (header and data, with its CONTINUE records).
    void Put(Record& r) { r.Write(Room(r.RecordSize())); }
    bool Flush() {
        if (used_ && ok_) ok_ = sink_(piece_.data(), used_);
        written_ += used_;
        used_ = 0;
        return ok_;
    }
    bool Ok() const { return ok_; }
    std::uint64_t Written() const { return written_ + used_; }

    static void Put16(std::uint8_t* p, std::uint16_t v) {
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
    }
    static void Put32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

private:
    static constexpr std::size_t kPiece = 256 * 1024;
    const cfb::ByteSink& sink_;
    std::vector<std::uint8_t> piece_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    bool ok_ = true;
};

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool HasLoneSurrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) ++i;
        else if (IsHigh(text[i]) || IsLow(text[i])) return true;
    }
    return false;
}

std::u16string Mended(std::u16string_view text) {
    std::u16string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (IsHigh(out[i]) && i + 1 < out.size() && IsLow(out[i + 1])) ++i;
        else if (IsHigh(out[i]) || IsLow(out[i])) out[i] = u'\uFFFD';
    }
    return out;
}

}  // namespace

TextSheetStream::TextSheetStream(Workbook globals, TextSheet sheet, const std::function<void(std::uint32_t)>& rowRead)
    : globals_(std::move(globals)), texts_(std::move(sheet)) {
    const std::uint32_t rows = texts_.rows;
    const std::uint16_t cols = texts_.columns;
    if (rows < 1 || rows > kMaxRows || cols < 1 || cols > kMaxColumns || !texts_.text) return;

    // Pass over the texts: each cell's string position, the distinct texts in order.
    cells_.resize(std::size_t{rows} * cols);
    DistinctIndex<std::u16string_view, std::equal_to<>> distinct(strings_, 1 << 15);
    std::size_t cell = 0;
    std::uint64_t distinctBytes = 0;
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint16_t c = 0; c < cols; ++c, ++cell) {
            std::u16string_view text = texts_.text(r, c);
            if (text.empty()) {
                cells_[cell] = kBlank;
                continue;
            }
            if (text.size() > kMaxTextUnits) {
                problem_ = Problem::TextTooLong;
                return;
            }
            if (HasLoneSurrogate(text)) text = mended_.emplace_back(Mended(text));
            ++textCells_;
            const std::size_t before = strings_.size();
            cells_[cell] = distinct.IndexOf(text, static_cast<std::uint32_t>(std::hash<std::u16string_view>{}(text)));
            if (strings_.size() > before) distinctBytes += 3 + 2 * text.size();
        }
        if (distinctBytes > kMaxStream / 2) {  // beyond the file long before the cells are counted
            problem_ = Problem::TooLarge;
            return;
        }
        if (rowRead) rowRead(r);
    }

    // Sizes and positions: the globals (head, SST, EOF), then the sheet.
    sstData_ = LayoutSharedStrings(strings_, sstBoundaries_);
    sstRecords_ = sstData_ + 4 * (1 + static_cast<std::uint32_t>(sstBoundaries_.size()));
    const std::uint32_t sheetStart = globals_.HeadSize() + sstRecords_ + globals_.eof.RecordSize();
    if (!globals_.boundSheets.empty()) globals_.boundSheets[0].position = sheetStart;

    sheet_.index.firstRow = 0;
    sheet_.index.lastRowPlus1 = rows;
    sheet_.dimensions.firstRow = 0;
    sheet_.dimensions.lastRowPlus1 = rows;
    sheet_.dimensions.firstColumn = 0;
    sheet_.dimensions.lastColumnPlus1 = cols;
    const std::uint32_t blocks = (rows + kRowsPerBlock - 1) / kRowsPerBlock;
    sheet_.index.dbcellPositions.assign(blocks, 0);
    std::uint64_t p = sheetStart + sheet_.bof.RecordSize() + sheet_.index.RecordSize() + sheet_.dimensions.RecordSize();
    for (auto& c : sheet_.colInfos) p += c.RecordSize();
    cell = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t blockRows = std::min(kRowsPerBlock, rows - b * kRowsPerBlock);
        p += blockRows * kRowRecord;
        for (std::size_t end = cell + std::size_t{blockRows} * cols; cell < end; ++cell) p += CellBytes(cell);
        sheet_.index.dbcellPositions[b] = static_cast<std::uint32_t>(p);
        p += kDbcellHead + 2 * blockRows;
    }
    p += sheet_.window2.RecordSize() + sheet_.MergedCellsSize() + sheet_.eof.RecordSize();
    if (p > kMaxStream) {
        problem_ = Problem::TooLarge;
        return;
    }
    size_ = static_cast<std::uint32_t>(p);
    problem_ = Problem::None;
}

bool TextSheetStream::Write(const cfb::ByteSink& sink, const std::function<void(std::uint32_t)>& blockWritten) {
    if (!Valid()) return false;
    PieceWriter out(sink);
    globals_.WriteHead(out.Room(globals_.HeadSize()));
    WriteSharedStrings(out, textCells_, static_cast<std::uint32_t>(strings_.size()), strings_, sstBoundaries_, sstData_);
    out.Put(globals_.eof);

    out.Put(sheet_.bof);
    out.Put(sheet_.index);
    for (auto& c : sheet_.colInfos) out.Put(c);
    out.Put(sheet_.dimensions);
    const std::uint32_t rows = texts_.rows;
    const std::uint16_t cols = texts_.columns;
    Row row;
    row.lastColumnPlus1 = cols;
    DBCell dbcell;
    std::size_t cell = 0;
    for (std::uint32_t first = 0; first < rows && out.Ok(); first += kRowsPerBlock) {
        const std::uint32_t blockRows = std::min(kRowsPerBlock, rows - first);
        for (std::uint32_t r = first; r < first + blockRows; ++r) {
            row.row = static_cast<std::uint16_t>(r);
            out.Put(row);
        }
        // The cells, row by row; DBCELL offsets: the first row's cells from the second ROW
        // record, each further row's from the previous row's first cell.
        const std::uint32_t rowsBytes = blockRows * kRowRecord;
        std::uint32_t cellsBytes = 0;
        dbcell.rowOffsets.assign(1, static_cast<std::uint16_t>(rowsBytes - kRowRecord));
        for (std::uint32_t r = first; r < first + blockRows; ++r) {
            const std::uint16_t xf = r == 0 ? texts_.firstRowXf : texts_.otherRowsXf;
            std::uint32_t rowBytes = 0;
            for (std::uint16_t c = 0; c < cols; ++c, ++cell) {
                const std::uint32_t position = cells_[cell];
                const std::uint32_t n = CellBytes(cell);
                std::uint8_t* p = out.Room(n);
                PieceWriter::Put16(p, position == kBlank ? 0x0201 : 0x00FD);  // BLANK or LABELSST
                PieceWriter::Put16(p + 2, static_cast<std::uint16_t>(n - 4));
                PieceWriter::Put16(p + 4, static_cast<std::uint16_t>(r));
                PieceWriter::Put16(p + 6, c);
                PieceWriter::Put16(p + 8, xf);
                if (position != kBlank) PieceWriter::Put32(p + 10, position);
                rowBytes += n;
            }
            cellsBytes += rowBytes;
            if (r + 1 < first + blockRows) dbcell.rowOffsets.push_back(static_cast<std::uint16_t>(rowBytes));
        }
        dbcell.firstRowOffset = rowsBytes + cellsBytes;
        out.Put(dbcell);
        if (blockWritten) blockWritten(first + blockRows);
    }
    out.Put(sheet_.window2);
    out.Put(sheet_.eof);  // no merged cells in a text sheet
    return out.Flush() && out.Written() == size_;
}

std::vector<std::uint8_t> TextSheetStream::Bytes() {
    std::vector<std::uint8_t> stream;
    stream.reserve(size_);
    const bool written = Write([&](const std::uint8_t* data, std::size_t n) {
        stream.insert(stream.end(), data, data + n);
        return true;
    });
    if (!written) stream.clear();
    return stream;
}

}  // namespace Biff8
