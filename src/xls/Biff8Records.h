#pragma once
// BIFF8 records: one small class per record kind. Each knows its identifier, its fields, its
// data size and how to write itself (header + data, with CONTINUE records where needed).
#include "ByteWriter.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Biff8 {

inline constexpr std::uint32_t kMaxRecordData = 8224;  // data bytes in one record
inline constexpr std::uint16_t kContinueId = 0x003C;

class Record {
public:
    explicit Record(std::uint16_t id = 0, std::uint32_t dataSize = 0) : id(id), dataSize(dataSize), recordSize(dataSize + 4) {}
    virtual ~Record() = default;

    // Emits header and data at `out`; returns the bytes emitted (always RecordSize()).
    virtual std::uint32_t Write(std::uint8_t* out);
    virtual std::uint32_t DataSize() { return dataSize; }
    virtual std::uint32_t RecordSize();

    std::uint16_t id;
    std::uint32_t dataSize;
    std::uint32_t recordSize;

protected:
    // Writes the record's data bytes (without header) for records that are framed generically.
    virtual void WriteData(ByteWriter& w) = 0;
    // Writes `data` at `out` as this record and its CONTINUE records, cut at `boundaries` (at
    // every 8224 bytes when none are given).
    std::uint32_t FrameData(std::uint8_t* out, const std::vector<std::uint8_t>& data,
                            const std::vector<std::uint32_t>& boundaries) const;
};

// Long string of SST, FORMAT and STYLE: 16-bit count, flags, characters.
struct LargeString {
    std::u16string wide;
    std::string narrow;
    std::uint8_t flags = 0xFF;  // bit 0: `wide` holds the value
    bool IsWide() const { return flags == 0xFF ? !wide.empty() : (flags & 1) != 0; }
    std::uint32_t CharBytes() const { return IsWide() ? 2 * static_cast<std::uint32_t>(wide.size()) : static_cast<std::uint32_t>(narrow.size()); }
    std::uint32_t Size() const { return 3 + CharBytes(); }
};

// A string of the shared string table. The characters are borrowed: whoever fills the table
// (the workbook model) keeps them alive until the stream is written, so a full table is not
// copied once more.
struct SstString {
    std::u16string_view wide;
    std::string_view narrow;
    std::uint8_t flags = 0x00;  // bit 0: `wide` holds the value
    bool IsWide() const { return (flags & 1) != 0; }
    std::uint32_t CharBytes() const { return IsWide() ? 2 * static_cast<std::uint32_t>(wide.size()) : static_cast<std::uint32_t>(narrow.size()); }
};

// Short string of FONT and BOUNDSHEET names: 8-bit count, flags, characters.
struct ShortString {
    std::u16string wide;
    std::string narrow;
    bool isWide = false;
    std::uint32_t Size() const { return 2 + (isWide ? 2 * static_cast<std::uint32_t>(wide.size()) : static_cast<std::uint32_t>(narrow.size())); }
    void Write(ByteWriter& w) const;
};

#define BIFF8_FIXED(Name, Id, Size)           \
    Name() : Record(Id, Size) {}              \
                                              \
protected:                                    \
    void WriteData(ByteWriter& w) override;   \
                                              \
public:

class BOF : public Record {
public:
    explicit BOF(std::uint16_t type = 0x0005) : Record(0x0809, 16), substreamType(type) {}
    std::uint16_t substreamType;
protected:
    void WriteData(ByteWriter& w) override;
};

class Window1 : public Record {
public:
    BIFF8_FIXED(Window1, 0x003D, 18)
    std::uint16_t hPos = 120, vPos = 120, width = 15135, height = 9300, options = 0x0038, activeSheet = 0,
                  firstVisibleTab = 0, selectedSheets = 1, tabBarWidth = 600;
};

class Font : public Record {
public:
    Font();
    std::uint32_t DataSize() override;
    std::uint16_t height = 200, options = 0, colourIndex = 0x7FFF, weight = 400, escapement = 0;
    std::uint8_t underline = 0, family = 0, charset = 0;
    ShortString name;
protected:
    void WriteData(ByteWriter& w) override;
};

class Format : public Record {
public:
    Format() : Record(0x041E, 5) {}
    std::uint32_t DataSize() override;
    std::uint16_t index = 0;
    LargeString text;
protected:
    void WriteData(ByteWriter& w) override;
};

class XF : public Record {
public:
    BIFF8_FIXED(XF, 0x00E0, 20)
    std::uint16_t fontIndex = 0, formatIndex = 0, typeProtection = 0xFFF5;
    std::uint8_t alignment = 0x20, rotation = 0, textProperties = 0, usedAttributes = 0;
    std::uint32_t borderLines = 0, borderColours = 0;
    std::uint16_t backgroundColours = 0x20C0;
};

class Style : public Record {
public:
    Style() : Record(0x0293, 4) {}
    std::uint32_t DataSize() override;
    std::uint16_t xfIndex = 0x8000;
    std::uint8_t builtInId = 0, outlineLevel = 0xFF;
    LargeString name;  // only for user styles (bit 15 of xfIndex clear)
protected:
    void WriteData(ByteWriter& w) override;
};

class BoundSheet : public Record {
public:
    BoundSheet();
    std::uint32_t DataSize() override;
    std::uint32_t position = 0;
    std::uint8_t visibility = 0, sheetType = 0;
    ShortString name;
protected:
    void WriteData(ByteWriter& w) override;
};

class SharedStringTable : public Record {
public:
    SharedStringTable() : Record(0x00FC, 8) {}
    std::uint32_t DataSize() override;
    std::uint32_t RecordSize() override;
    std::uint32_t Write(std::uint8_t* out) override;
    std::uint32_t totalCount = 0, uniqueCount = 0;
    std::vector<SstString> strings;
    std::vector<std::uint32_t> boundaries;  // data offsets where a CONTINUE record starts
protected:
    void WriteData(ByteWriter&) override {}
};

class ExtSST : public Record {  // held in the globals, never written
public:
    ExtSST() : Record(0x00FF, 0) {}
protected:
    void WriteData(ByteWriter&) override {}
};

class EndOfFile : public Record {
public:
    BIFF8_FIXED(EndOfFile, 0x000A, 0)
};

class Index : public Record {
public:
    Index() : Record(0x020B, 16) {}
    std::uint32_t DataSize() override { return dataSize = 16 + 4 * static_cast<std::uint32_t>(dbcellPositions.size()); }
    std::uint32_t firstRow = 0, lastRowPlus1 = 0;
    std::vector<std::uint32_t> dbcellPositions;
protected:
    void WriteData(ByteWriter& w) override;
};

class ColInfo : public Record {
public:
    BIFF8_FIXED(ColInfo, 0x007D, 12)
    std::uint16_t firstColumn = 0, lastColumn = 255, width = 2560, xfIndex = 0, options = 0;
};

class Dimensions : public Record {
public:
    BIFF8_FIXED(Dimensions, 0x0200, 14)
    std::uint32_t firstRow = 0, lastRowPlus1 = 0;
    std::uint16_t firstColumn = 0, lastColumnPlus1 = 0;
};

class Row : public Record {
public:
    BIFF8_FIXED(Row, 0x0208, 16)
    std::uint16_t row = 0, firstColumn = 0, lastColumnPlus1 = 0, height = 255;
    std::uint32_t flags = 0x0100;
};

class Blank : public Record {
public:
    BIFF8_FIXED(Blank, 0x0201, 6)
    std::uint16_t row = 0, column = 0, xfIndex = 0;
};

class BoolErr : public Record {
public:
    BIFF8_FIXED(BoolErr, 0x0205, 8)
    std::uint16_t row = 0, column = 0, xfIndex = 0;
    std::uint8_t value = 0, isError = 0;
};

class LabelSST : public Record {
public:
    BIFF8_FIXED(LabelSST, 0x00FD, 10)
    std::uint16_t row = 0, column = 0, xfIndex = 0;
    std::uint32_t sstIndex = 0;
};

class MulBlank : public Record {
public:
    MulBlank() : Record(0x00BE, 6) {}
    std::uint32_t DataSize() override { return dataSize = 6 + 2 * static_cast<std::uint32_t>(xfIndices.size()); }
    std::uint16_t row = 0, firstColumn = 0;
    std::vector<std::uint16_t> xfIndices;
protected:
    void WriteData(ByteWriter& w) override;
};

class MulRK : public Record {
public:
    MulRK() : Record(0x00BD, 6) {}
    std::uint32_t DataSize() override { return dataSize = 6 + 6 * static_cast<std::uint32_t>(cells.size()); }
    std::uint16_t row = 0, firstColumn = 0;
    struct Cell {
        std::uint16_t xfIndex;
        std::uint32_t rk;
    };
    std::vector<Cell> cells;
protected:
    void WriteData(ByteWriter& w) override;
};

class Number : public Record {
public:
    BIFF8_FIXED(Number, 0x0203, 14)
    std::uint16_t row = 0, column = 0, xfIndex = 0;
    double value = 0;
};

class RK : public Record {
public:
    BIFF8_FIXED(RK, 0x027E, 10)
    std::uint16_t row = 0, column = 0, xfIndex = 0;
    std::uint32_t rk = 0;
};

class DBCell : public Record {
public:
    DBCell() : Record(0x00D7, 4) {}
    std::uint32_t DataSize() override { return dataSize = 4 + 2 * static_cast<std::uint32_t>(rowOffsets.size()); }
    std::uint32_t firstRowOffset = 0;
    std::vector<std::uint16_t> rowOffsets;
protected:
    void WriteData(ByteWriter& w) override;
};

class Window2 : public Record {
public:
    BIFF8_FIXED(Window2, 0x023E, 18)
    std::uint16_t options = 0x06B6, firstVisibleRow = 0, firstVisibleColumn = 0, gridColour = 64;
};

// One merged range; written inside MERGEDCELLS records.
struct MergedCell {
    std::uint16_t firstRow = 0, lastRow = 0, firstColumn = 0, lastColumn = 0;
    void Write(ByteWriter& w) const;
};

#undef BIFF8_FIXED

}  // namespace Biff8
