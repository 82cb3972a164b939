#pragma once
// The workbook stream of a book whose one sheet holds only texts — the measurement table's
// shape — produced while it is written. Building it reads every text once to find the distinct
// ones (the shared strings); writing hands the records to a sink in pieces. Meanwhile it holds
// one 32-bit entry per cell, a view of each distinct text and the index of them: never the
// stream and never a copy of the texts. The bytes are those the workbook model (XlsBook) writes
// for the same cells.
#include "Biff8Groups.h"
#include "CompoundFile.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Biff8 {

struct TextSheet {
    std::uint32_t rows = 1;     // 1 to 65536
    std::uint16_t columns = 1;  // 1 to 256
    // The text of a cell, empty for a blank cell. The views must stay valid until the stream
    // has been written: the distinct texts are written from them.
    std::function<std::u16string_view(std::uint32_t row, std::uint16_t column)> text;
    std::uint16_t firstRowXf = 0, otherRowsXf = 0;  // cell formats of the first row and of the rest
};

class TextSheetStream {
public:
    static constexpr std::uint32_t kMaxRows = 65536;
    static constexpr std::uint16_t kMaxColumns = 256;
    static constexpr std::size_t kMaxTextUnits = 32767;   // the most a cell holds
    static constexpr std::uint64_t kMaxStream = 0x7FFFFFFF;  // what a version 3 compound file holds

    enum class Problem { None, BadShape, TextTooLong, TooLarge };

    // Reads every text of `sheet` (nothing of a sheet beyond the limits: see Valid). A text
    // longer than a cell holds, or a stream beyond what the file holds, makes it invalid; an
    // unpaired surrogate (which readers refuse) is written as U+FFFD.
    // `globals` supplies the book's fonts and cell formats; its string table is not used.
    // `rowRead`, when given, is called after each row has been read.
    TextSheetStream(Workbook globals, TextSheet sheet, const std::function<void(std::uint32_t row)>& rowRead = {});

    bool Valid() const { return problem_ == Problem::None; }
    Problem Trouble() const { return problem_; }
    std::uint32_t Size() const { return size_; }
    // Hands the whole stream to `sink` in order; false when the sink refused a piece.
    // `blockWritten`, when given, is called after each block of 32 rows (for progress).
    bool Write(const cfb::ByteSink& sink, const std::function<void(std::uint32_t rowsDone)>& blockWritten = {});
    // The stream in one buffer (for tests and for callers that need it in memory).
    std::vector<std::uint8_t> Bytes();

private:
    static constexpr std::uint32_t kBlank = 0xFFFFFFFF;
    std::uint32_t CellBytes(std::size_t cell) const { return cells_[cell] == kBlank ? 10 : 14; }

    Workbook globals_;
    Worksheet sheet_;
    TextSheet texts_;
    Problem problem_ = Problem::BadShape;
    std::deque<std::u16string> mended_;  // texts whose unpaired surrogates became U+FFFD (views stay valid)
    std::vector<std::uint32_t> cells_;         // per cell, row-major: its string's position, or kBlank
    std::vector<std::u16string_view> strings_;  // the distinct texts, in order of first use
    std::uint32_t textCells_ = 0;
    std::vector<std::uint32_t> sstBoundaries_;
    std::uint32_t sstData_ = 0, sstRecords_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace Biff8
