#include "Biff8Records.h"

#include "SharedStrings.h"

#include <algorithm>

namespace Biff8 {

namespace {

void WriteLargeString(ByteWriter& w, const LargeString& s) {
    if (s.IsWide()) {
        w.U16(static_cast<std::uint16_t>(s.wide.size()));
        w.U8(0x01);
        for (char16_t c : s.wide) w.U16(c);
    } else {
        w.U16(static_cast<std::uint16_t>(s.narrow.size()));
        w.U8(0x00);
        w.Bytes(s.narrow.data(), s.narrow.size());
    }
}

}  // namespace

// ---- framing ----

std::uint32_t Record::RecordSize() {
    const std::uint32_t size = DataSize();
    std::uint32_t continues = 0;
    if (size > kMaxRecordData) continues = (size - 1) / kMaxRecordData;
    return recordSize = size + 4 * (1 + continues);
}

std::uint32_t Record::Write(std::uint8_t* out) {
    const std::uint32_t total = RecordSize();
    if (dataSize <= kMaxRecordData) {
        ByteWriter w(out, out + total);
        w.U16(id);
        w.U16(static_cast<std::uint16_t>(dataSize));
        WriteData(w);
        return total;
    }
    // Too long for one record: build the data, then cut it into CONTINUE records.
    std::vector<std::uint8_t> data(dataSize, 0);
    ByteWriter dw(data.data(), data.data() + data.size());
    WriteData(dw);
    return FrameData(out, data, {});
}

std::uint32_t Record::FrameData(std::uint8_t* out, const std::vector<std::uint8_t>& data,
                                const std::vector<std::uint32_t>& boundaries) const {
    ByteWriter w(out, out + recordSize);
    std::vector<std::uint32_t> cuts = boundaries;
    if (cuts.empty())
        for (std::uint32_t b = kMaxRecordData; b < dataSize; b += kMaxRecordData) cuts.push_back(b);
    std::uint32_t start = 0;
    std::uint16_t chunkId = id;
    cuts.push_back(dataSize);
    for (std::uint32_t end : cuts) {
        w.U16(chunkId);
        w.U16(static_cast<std::uint16_t>(end - start));
        w.Bytes(data.data() + start, end - start);
        start = end;
        chunkId = kContinueId;
    }
    return static_cast<std::uint32_t>(w.Position() - out);
}

void ShortString::Write(ByteWriter& w) const {
    if (isWide) {
        w.U8(static_cast<std::uint8_t>(wide.size()));
        w.U8(0x01);
        for (char16_t c : wide) w.U16(c);
    } else {
        w.U8(static_cast<std::uint8_t>(narrow.size()));
        w.U8(0x00);
        w.Bytes(narrow.data(), narrow.size());
    }
}

// ---- globals ----

// BOF: version, substream type, build id and year, history flags, lowest version.
void BOF::WriteData(ByteWriter& w) {
    w.U16(0x0600);
    w.U16(substreamType);
    w.U16(0x19A0);
    w.U16(0x07CD);
    w.U32(0xC0C9);
    w.U32(0x0306);
}

// WINDOW1: position and size of the workbook window, tab bar.
void Window1::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {hPos, vPos, width, height, options, activeSheet, firstVisibleTab, selectedSheets, tabBarWidth})
        w.U16(v);
}

// FONT: metrics, then the name as a short string.
Font::Font() : Record(0x0031, 16) {
    name.wide = u"Arial";
    name.isWide = true;
    DataSize();
}
std::uint32_t Font::DataSize() { return dataSize = 14 + name.Size(); }
void Font::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {height, options, colourIndex, weight, escapement}) w.U16(v);
    w.U8(underline);
    w.U8(family);
    w.U8(charset);
    w.U8(0);
    name.Write(w);
}

// FORMAT: number-format index and its text.
std::uint32_t Format::DataSize() { return dataSize = 2 + text.Size(); }
void Format::WriteData(ByteWriter& w) {
    w.U16(index);
    WriteLargeString(w, text);
}

// XF: font, number format, type, alignment, borders, background.
void XF::WriteData(ByteWriter& w) {
    w.U16(fontIndex);
    w.U16(formatIndex);
    w.U16(typeProtection);
    w.U8(alignment);
    w.U8(rotation);
    w.U8(textProperties);
    w.U8(usedAttributes);
    w.U32(borderLines);
    w.U32(borderColours);
    w.U16(backgroundColours);
}

// STYLE: built-in styles carry an id and level, user styles a name.
std::uint32_t Style::DataSize() { return dataSize = (xfIndex & 0x8000) ? 4 : 2 + name.Size(); }
void Style::WriteData(ByteWriter& w) {
    w.U16(xfIndex);
    if (xfIndex & 0x8000) {
        w.U8(builtInId);
        w.U8(outlineLevel);
    } else {
        WriteLargeString(w, name);
    }
}

// BOUNDSHEET: stream position of the sheet's BOF, visibility, type, name.
BoundSheet::BoundSheet() : Record(0x0085, 8) {
    name.narrow = "Sheet1";
    DataSize();
}
std::uint32_t BoundSheet::DataSize() { return dataSize = 6 + name.Size(); }
void BoundSheet::WriteData(ByteWriter& w) {
    w.U32(position);
    w.U8(visibility);
    w.U8(sheetType);
    name.Write(w);
}

// ---- shared string table ----

std::uint32_t SharedStringTable::DataSize() { return dataSize = LayoutSharedStrings(strings, boundaries); }

std::uint32_t SharedStringTable::RecordSize() {
    return recordSize = DataSize() + 4 * (1 + static_cast<std::uint32_t>(boundaries.size()));
}

std::uint32_t SharedStringTable::Write(std::uint8_t* out) {
    RecordSize();
    ByteWriter w(out, out + recordSize);
    WriteSharedStrings(w, totalCount, uniqueCount, strings, boundaries, dataSize);
    return static_cast<std::uint32_t>(w.Position() - out);
}

// ---- worksheet ----

void EndOfFile::WriteData(ByteWriter&) {}

// INDEX: rows with cells and the position of every DBCELL.
void Index::WriteData(ByteWriter& w) {
    w.U32(0);
    w.U32(firstRow);
    w.U32(lastRowPlus1);
    w.U32(0);
    for (std::uint32_t p : dbcellPositions) w.U32(p);
}

void ColInfo::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {firstColumn, lastColumn, width, xfIndex, options}) w.U16(v);
    w.U16(0);
}

void Dimensions::WriteData(ByteWriter& w) {
    w.U32(firstRow);
    w.U32(lastRowPlus1);
    w.U16(firstColumn);
    w.U16(lastColumnPlus1);
    w.U16(0);
}

void Row::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, firstColumn, lastColumnPlus1, height}) w.U16(v);
    w.U16(0);
    w.U16(0);
    w.U32(flags);
}

void Blank::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, column, xfIndex}) w.U16(v);
}

void BoolErr::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, column, xfIndex}) w.U16(v);
    w.U8(value);
    w.U8(isError);
}

void LabelSST::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, column, xfIndex}) w.U16(v);
    w.U32(sstIndex);
}

void MulBlank::WriteData(ByteWriter& w) {
    w.U16(row);
    w.U16(firstColumn);
    for (std::uint16_t xf : xfIndices) w.U16(xf);
    w.U16(static_cast<std::uint16_t>(firstColumn + xfIndices.size() - 1));
}

void MulRK::WriteData(ByteWriter& w) {
    w.U16(row);
    w.U16(firstColumn);
    for (const Cell& c : cells) {
        w.U16(c.xfIndex);
        w.U32(c.rk);
    }
    w.U16(static_cast<std::uint16_t>(firstColumn + cells.size() - 1));
}

void Number::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, column, xfIndex}) w.U16(v);
    w.F64(value);
}

void RK::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {row, column, xfIndex}) w.U16(v);
    w.U32(rk);
}

void DBCell::WriteData(ByteWriter& w) {
    w.U32(firstRowOffset);
    for (std::uint16_t o : rowOffsets) w.U16(o);
}

void Window2::WriteData(ByteWriter& w) {
    for (std::uint16_t v : {options, firstVisibleRow, firstVisibleColumn, gridColour}) w.U16(v);
    w.U16(0);
    w.U16(0);
    w.U16(0);
    w.U32(0);
}

void MergedCell::Write(ByteWriter& w) const {
    for (std::uint16_t v : {firstRow, lastRow, firstColumn, lastColumn}) w.U16(v);
}

}  // namespace Biff8
