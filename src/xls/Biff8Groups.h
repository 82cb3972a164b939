#pragma once
// The two record groups of a workbook stream: the globals substream (`Workbook`) and one
// worksheet substream (`Worksheet`), their sizes, writing, and the stream-position fix-up.
#include "Biff8Records.h"

#include <variant>
#include <vector>

namespace Biff8 {

// One cell record of a row block.
using CellRecord = std::variant<Blank, BoolErr, LabelSST, MulBlank, MulRK, Number, RK>;
std::uint16_t CellRow(const CellRecord& cell);
Record& AsRecord(CellRecord& cell);

struct RowBlock {
    std::vector<Row> rows;
    std::vector<CellRecord> cells;
    DBCell dbcell;
};

class Workbook {
public:
    BOF bof{0x0005};
    Window1 window1;
    std::vector<Font> fonts;
    std::vector<XF> xfs;
    std::vector<Style> styles;
    std::vector<Format> formats;
    std::vector<BoundSheet> boundSheets;
    SharedStringTable sst;
    ExtSST extsst;
    EndOfFile eof;

    std::uint32_t Size();
    std::uint32_t Write(std::uint8_t* out);
    // The records before the shared string table, for a writer that emits the table itself.
    std::uint32_t HeadSize();
    std::uint32_t WriteHead(std::uint8_t* out);
};

class Worksheet {
public:
    BOF bof{0x0010};
    Index index;
    std::vector<ColInfo> colInfos;
    Dimensions dimensions;
    std::vector<RowBlock> cellTable;
    Window2 window2;
    std::vector<MergedCell> mergedCells;
    EndOfFile eof;

    std::uint32_t Size();
    std::uint32_t Write(std::uint8_t* out);
    // Bytes of the MERGEDCELLS records: at most 1027 ranges in each.
    std::uint32_t MergedCellsSize() const;
};

inline constexpr std::size_t kMaxMergedRangesPerRecord = 1027;

// Sets BOUNDSHEET positions, INDEX DBCELL positions and DBCELL offsets; returns the size of
// the whole stream (globals and every sheet), found on the way.
std::uint32_t FixPositions(Workbook& book, std::vector<Worksheet>& sheets);

}  // namespace Biff8
