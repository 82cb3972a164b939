#pragma once
// The workbook model: a book of sheets, each a grid of cells that grows as cells are
// addressed. Saving converts the model into BIFF8 record groups and writes them as the stream
// "Workbook" of a compound file.
#include "Biff8Groups.h"
#include "CompoundFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class XlsCellKind : std::int32_t { Undefined = 0, Int = 1, Double = 2, String = 3, WString = 4, Formula = 5 };

// Keeps the texts of a sheet's cells in large blocks instead of one heap string per cell. A text
// replaced in a cell keeps its old bytes until the sheet goes away.
class TextArena {
public:
    const void* Store(const void* data, std::size_t bytes);

private:
    static constexpr std::size_t kBlockBytes = 1 << 16;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
    std::size_t used_ = kBlockBytes, capacity_ = kBlockBytes;
};

class XlsCell {
public:
    explicit XlsCell(TextArena* arena = nullptr) : arena_(arena) {}

    XlsCellKind kind = XlsCellKind::Undefined;
    std::int32_t intValue = 0;
    double doubleValue = 0;
    std::uint16_t mergedRows = 1, mergedColumns = 1;
    std::uint32_t xfIndex = 0;

    // The text of a String (8-bit) or WString (16-bit) cell; empty for other kinds.
    std::string_view Text8() const;
    std::u16string_view Text16() const;

    void EraseContents();
    void SetString(std::string_view text);      // empty text erases
    void SetWString(std::u16string_view text);  // empty text erases
    void SetInteger(std::int32_t value);
    void SetDouble(double value);
    void SetXfIndex(std::uint32_t xf) { xfIndex = xf; }

private:
    TextArena* arena_;
    const void* text_ = nullptr;
    std::uint32_t textLength_ = 0;  // in characters of the cell's kind
};

class XlsBook;

class XlsSheet {
public:
    static constexpr int kMaxRows = 65536, kMaxColumns = 256;

    XlsSheet(XlsBook* book, int index);
    // The cell at (row, col), growing the grid; null beyond 65536 rows or 256 columns. Growing
    // the grid moves the cells: a pointer is good until the next call.
    XlsCell* Cell(int row, int col);
    // Makes room for `rows` rows of the current width, saving the copies of a growing grid.
    void ReserveRows(int rows);
    XlsBook* Book() const { return book_; }
    int Index() const { return index_; }  // position in the book
    int Rows() const { return rows_; }
    int Columns() const { return columns_; }
    const XlsCell& At(int row, int col) const {
        return grid_[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(col)];
    }
    std::vector<Biff8::ColInfo>& ColumnInfos() { return colInfos_; }

private:
    XlsBook* book_;
    int index_;
    int rows_ = 1, columns_ = 1;
    std::unique_ptr<TextArena> texts_ = std::make_unique<TextArena>();
    std::vector<XlsCell> grid_;  // row-major, `columns_` cells a row
    std::vector<Biff8::ColInfo> colInfos_;
};

class XlsBook {
public:
    XlsBook() = default;
    XlsBook(const XlsBook&) = delete;
    XlsBook& operator=(const XlsBook&) = delete;

    // A fresh one-sheet workbook ("Sheet1", one undefined cell).
    void New();
    XlsSheet* GetSheet(int index);
    // Converts the model, builds the stream and writes it as the file's stream "Workbook".
    bool Save(cfb::Writer& file);
    // The stream bytes a save writes (conversion and fix-up included).
    std::vector<std::uint8_t> BuildStream();

    Biff8::Workbook globals;
    std::vector<Biff8::Worksheet> worksheets;
    std::vector<std::shared_ptr<XlsSheet>> sheets;

private:
    void ConvertToRecords();
};
