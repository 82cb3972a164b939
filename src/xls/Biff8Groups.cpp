#include "Biff8Groups.h"

#include <algorithm>

namespace Biff8 {

std::uint16_t CellRow(const CellRecord& cell) {
    return std::visit([](const auto& r) { return r.row; }, cell);
}

Record& AsRecord(CellRecord& cell) {
    return std::visit([](auto& r) -> Record& { return r; }, cell);
}

// ---- globals ----

namespace {

bool Written(const Format& f) { return f.index > 163; }  // built-in formats are implied

// Every record of the globals in stream order; with `headOnly` those before the SST.
template <typename Fn>
void ForEachGlobal(Workbook& b, Fn fn, bool headOnly = false) {
    fn(b.bof);
    fn(b.window1);
    for (auto& r : b.fonts) fn(r);
    for (auto& r : b.formats)
        if (Written(r)) fn(r);
    for (auto& r : b.xfs) fn(r);
    for (auto& r : b.styles) fn(r);
    for (auto& r : b.boundSheets) fn(r);
    if (headOnly) return;
    fn(b.sst);
    fn(b.eof);
}

}  // namespace

std::uint32_t Workbook::Size() {
    std::uint32_t total = 0;
    ForEachGlobal(*this, [&](Record& r) { total += r.RecordSize(); });
    return total;
}

std::uint32_t Workbook::Write(std::uint8_t* out) {
    std::uint32_t pos = 0;
    ForEachGlobal(*this, [&](Record& r) { pos += r.Write(out + pos); });
    return pos;
}

std::uint32_t Workbook::HeadSize() {
    std::uint32_t total = 0;
    ForEachGlobal(*this, [&](Record& r) { total += r.RecordSize(); }, true);
    return total;
}

std::uint32_t Workbook::WriteHead(std::uint8_t* out) {
    std::uint32_t pos = 0;
    ForEachGlobal(*this, [&](Record& r) { pos += r.Write(out + pos); }, true);
    return pos;
}

// ---- worksheet ----

std::uint32_t Worksheet::MergedCellsSize() const {
    const auto ranges = static_cast<std::uint32_t>(mergedCells.size());
    const std::uint32_t records = (ranges + kMaxMergedRangesPerRecord - 1) / kMaxMergedRangesPerRecord;
    return 8 * ranges + 6 * records;
}

std::uint32_t Worksheet::Size() {
    std::uint32_t total = bof.RecordSize() + index.RecordSize() + dimensions.RecordSize() + window2.RecordSize() +
                          eof.RecordSize() + MergedCellsSize();
    for (auto& c : colInfos) total += c.RecordSize();
    for (RowBlock& block : cellTable) {
        for (Row& r : block.rows) total += r.RecordSize();
        for (CellRecord& c : block.cells) total += AsRecord(c).RecordSize();
        total += block.dbcell.RecordSize();
    }
    return total;
}

std::uint32_t Worksheet::Write(std::uint8_t* out) {
    std::uint32_t pos = 0;
    pos += bof.Write(out + pos);
    pos += index.Write(out + pos);
    for (auto& c : colInfos) pos += c.Write(out + pos);
    pos += dimensions.Write(out + pos);
    for (RowBlock& block : cellTable) {
        for (Row& r : block.rows) pos += r.Write(out + pos);
        for (CellRecord& c : block.cells) pos += AsRecord(c).Write(out + pos);
        pos += block.dbcell.Write(out + pos);
    }
    pos += window2.Write(out + pos);
    // MERGEDCELLS: count, then the ranges, a new record after every 1027.
    const std::uint32_t mergedSize = MergedCellsSize();
    ByteWriter w(out + pos, out + pos + mergedSize);
    for (std::size_t first = 0; first < mergedCells.size(); first += kMaxMergedRangesPerRecord) {
        const std::size_t n = std::min(kMaxMergedRangesPerRecord, mergedCells.size() - first);
        w.U16(0x00E5);
        w.U16(static_cast<std::uint16_t>(2 + 8 * n));
        w.U16(static_cast<std::uint16_t>(n));
        for (std::size_t i = first; i < first + n; ++i) mergedCells[i].Write(w);
    }
    pos += mergedSize;
    pos += eof.Write(out + pos);
    return pos;
}

// ---- positions ----

std::uint32_t FixPositions(Workbook& book, std::vector<Worksheet>& sheets) {
    // Sizes of the INDEX depend on the number of blocks only, so they are known up front.
    for (Worksheet& sheet : sheets) sheet.index.dbcellPositions.assign(sheet.cellTable.size(), 0);
    std::uint32_t sheetStart = book.Size();
    for (std::size_t s = 0; s < sheets.size(); ++s) {
        Worksheet& sheet = sheets[s];
        if (s < book.boundSheets.size()) book.boundSheets[s].position = sheetStart;
        std::uint32_t p = sheetStart + sheet.bof.RecordSize() + sheet.index.RecordSize() + sheet.dimensions.RecordSize();
        for (auto& c : sheet.colInfos) p += c.RecordSize();
        for (std::size_t j = 0; j < sheet.cellTable.size(); ++j) {
            RowBlock& block = sheet.cellTable[j];
            std::uint32_t rowsSize = 0, cellsSize = 0;
            for (Row& r : block.rows) rowsSize += r.RecordSize();
            for (CellRecord& c : block.cells) cellsSize += AsRecord(c).RecordSize();
            p += rowsSize + cellsSize;
            sheet.index.dbcellPositions[j] = p;
            block.dbcell.firstRowOffset = rowsSize + cellsSize;
            // Offsets: the first row's cells from the start of the second ROW record, then each
            // row's cells from the previous row's first cell.
            block.dbcell.rowOffsets.clear();
            std::size_t c = 0;
            std::uint32_t previous = 0;
            for (std::size_t r = 0; r < block.rows.size(); ++r) {
                block.dbcell.rowOffsets.push_back(static_cast<std::uint16_t>(r == 0 ? rowsSize - 20 : previous));
                previous = 0;
                while (c < block.cells.size() && CellRow(block.cells[c]) == block.rows[r].row)
                    previous += AsRecord(block.cells[c++]).RecordSize();
            }
            p += block.dbcell.RecordSize();
        }
        // What follows the cells; together with them this is sheet.Size(), without a second pass.
        p += sheet.window2.RecordSize() + sheet.MergedCellsSize() + sheet.eof.RecordSize();
        sheetStart = p;
    }
    return sheetStart;
}

}  // namespace Biff8
