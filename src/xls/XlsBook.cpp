#include "XlsBook.h"

#include "DistinctIndex.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <functional>

// ---- cell texts ----

const void* TextArena::Store(const void* data, std::size_t bytes) {
    if (bytes > kBlockBytes / 4) {  // a long text gets a block of its own
        auto& block = blocks_.emplace_back(std::make_unique<std::uint8_t[]>(bytes));
        std::memcpy(block.get(), data, bytes);
        const void* stored = block.get();
        // Keep filling the current block: move the lone block before it.
        if (blocks_.size() > 1) std::swap(blocks_.back(), blocks_[blocks_.size() - 2]);
        return stored;
    }
    used_ = (used_ + 1) & ~std::size_t{1};  // 16-bit texts stay aligned
    if (used_ + bytes > capacity_) {
        blocks_.push_back(std::make_unique<std::uint8_t[]>(kBlockBytes));
        used_ = 0;
    }
    std::uint8_t* at = blocks_.back().get() + used_;
    std::memcpy(at, data, bytes);
    used_ += bytes;
    return at;
}

// ---- cells ----

std::string_view XlsCell::Text8() const {
    if (kind != XlsCellKind::String) return {};
    return {static_cast<const char*>(text_), textLength_};
}

std::u16string_view XlsCell::Text16() const {
    if (kind != XlsCellKind::WString) return {};
    return {static_cast<const char16_t*>(text_), textLength_};
}

void XlsCell::EraseContents() {
    kind = XlsCellKind::Undefined;
    text_ = nullptr;
    textLength_ = 0;
}

void XlsCell::SetString(std::string_view text) {
    if (text.empty()) return EraseContents();
    kind = XlsCellKind::String;
    text_ = arena_->Store(text.data(), text.size());
    textLength_ = static_cast<std::uint32_t>(text.size());
}

void XlsCell::SetWString(std::u16string_view text) {
    if (text.empty()) return EraseContents();
    kind = XlsCellKind::WString;
    text_ = arena_->Store(text.data(), text.size() * sizeof(char16_t));
    textLength_ = static_cast<std::uint32_t>(text.size());
}

void XlsCell::SetInteger(std::int32_t value) {
    EraseContents();
    kind = XlsCellKind::Int;
    intValue = value;
}

void XlsCell::SetDouble(double value) {
    EraseContents();
    kind = XlsCellKind::Double;
    doubleValue = value;
}

// ---- sheet ----

XlsSheet::XlsSheet(XlsBook* book, int index) : book_(book), index_(index), grid_(1, XlsCell(texts_.get())) {}

void XlsSheet::ReserveRows(int rows) {
    const std::size_t cells = static_cast<std::size_t>(std::clamp(rows, 1, kMaxRows)) * static_cast<std::size_t>(columns_);
    if (cells > grid_.size()) grid_.resize(cells, XlsCell(texts_.get()));
}

XlsCell* XlsSheet::Cell(int row, int col) {
    if (row < 0 || col < 0 || row >= kMaxRows || col >= kMaxColumns) return nullptr;
    if (col >= columns_) {
        // Widen every row: lay the grid out again with the new stride.
        const auto oldColumns = static_cast<std::size_t>(columns_);
        const auto newColumns = static_cast<std::size_t>(col + 1);
        std::vector<XlsCell> wider(static_cast<std::size_t>(rows_) * newColumns, XlsCell(texts_.get()));
        for (std::size_t r = 0; r < static_cast<std::size_t>(rows_); ++r)
            std::copy_n(grid_.begin() + static_cast<std::ptrdiff_t>(r * oldColumns), oldColumns,
                        wider.begin() + static_cast<std::ptrdiff_t>(r * newColumns));
        grid_ = std::move(wider);
        columns_ = col + 1;
    }
    if (row >= rows_) {
        rows_ = row + 1;
        // The grid may hold more rows than are used: grow it in steps, not a row at a time.
        const std::size_t needed = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_);
        if (needed > grid_.size()) {
            const std::size_t limit = static_cast<std::size_t>(kMaxRows) * static_cast<std::size_t>(columns_);
            grid_.resize(std::min(limit, std::max(needed, grid_.size() + grid_.size() / 2)), XlsCell(texts_.get()));
        }
    }
    return &grid_[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(col)];
}

// ---- book ----

void XlsBook::New() {
    globals = Biff8::Workbook();
    globals.fonts.resize(1);
    globals.xfs.resize(21);
    globals.styles.resize(6);
    globals.boundSheets.resize(1);
    worksheets.assign(1, Biff8::Worksheet());
    sheets.clear();
    for (std::size_t i = 0; i < worksheets.size(); ++i) {
        sheets.push_back(std::make_shared<XlsSheet>(this, static_cast<int>(i)));
        sheets.back()->ColumnInfos() = worksheets[i].colInfos;
    }
}

XlsSheet* XlsBook::GetSheet(int index) {
    return index >= 0 && index < static_cast<int>(sheets.size()) ? sheets[static_cast<std::size_t>(index)].get() : nullptr;
}

namespace {

// The RK form of a number (a 32-bit cell value that readers turn back into the same double):
// the top 30 bits of the IEEE double, or a 30-bit integer, either of them optionally standing
// for a hundredth of itself. Empty when no form gives the value back exactly.
std::optional<std::uint32_t> RkOf(double v) {
    auto ieee = [](double x, std::uint32_t& rk) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, 8);
        if ((bits & 0x3FFFFFFFFull) != 0) return false;  // the low 34 bits would be lost
        rk = static_cast<std::uint32_t>(bits >> 32) & ~3u;
        return true;
    };
    auto integer = [](double x, std::uint32_t& rk) {
        constexpr double kLimit = 536870912.0;  // 2^29: a signed 30-bit integer
        if (!(x >= -kLimit && x < kLimit) || std::trunc(x) != x) return false;
        rk = static_cast<std::uint32_t>(static_cast<std::int32_t>(x)) << 2 | 2u;
        return true;
    };
    std::uint32_t rk = 0;
    if (ieee(v, rk) || integer(v, rk)) return rk;
    const double x100 = v * 100;
    if (x100 / 100 != v) return std::nullopt;  // a reader's division would not give v back
    if (ieee(x100, rk) || integer(x100, rk)) return rk | 1u;
    return std::nullopt;
}

std::optional<std::uint32_t> RkOf(const XlsCell& cell) {
    return RkOf(cell.kind == XlsCellKind::Int ? static_cast<double>(cell.intValue) : cell.doubleValue);
}

template <typename Rec>
Rec MakeCell(int row, int col, std::uint32_t xf) {
    Rec r;
    r.row = static_cast<std::uint16_t>(row);
    r.column = static_cast<std::uint16_t>(col);
    r.xfIndex = static_cast<std::uint16_t>(xf);
    return r;
}

Biff8::SstString SstStringOf(const XlsCell& cell) {
    Biff8::SstString str;
    if (cell.kind == XlsCellKind::WString) str.wide = cell.Text16(), str.flags = 0x01;
    else str.narrow = cell.Text8(), str.flags = 0x00;
    return str;
}

std::uint32_t HashOf(const Biff8::SstString& s) {
    return static_cast<std::uint32_t>(s.IsWide() ? std::hash<std::u16string_view>{}(s.wide) : ~std::hash<std::string_view>{}(s.narrow));
}

struct SameString {
    bool operator()(const Biff8::SstString& a, const Biff8::SstString& b) const {
        return a.flags == b.flags && (a.IsWide() ? a.wide == b.wide : a.narrow == b.narrow);
    }
};
using UniqueStrings = Biff8::DistinctIndex<Biff8::SstString, SameString>;

}  // namespace

void XlsBook::ConvertToRecords() {
    worksheets.assign(sheets.size(), Biff8::Worksheet());
    Biff8::SharedStringTable& sst = globals.sst;
    sst.strings.clear();
    sst.totalCount = 0;
    // Room for a text in every cell, up to a million (the table grows beyond that if needed).
    std::size_t textCells = 0;
    for (const auto& sheet : sheets)
        textCells += static_cast<std::size_t>(sheet->Rows()) * static_cast<std::size_t>(sheet->Columns());
    textCells = std::min<std::size_t>(textCells, std::size_t{1} << 20);
    sst.strings.reserve(textCells);
    UniqueStrings unique(sst.strings, textCells);
    // Hashes of the texts of the row being converted and of the next row, whose slots are
    // being loaded meanwhile.
    std::array<std::array<std::uint32_t, XlsSheet::kMaxColumns>, 2> rowHashes{};

    for (std::size_t s = 0; s < sheets.size(); ++s) {
        const XlsSheet& sheet = *sheets[s];
        Biff8::Worksheet& ws = worksheets[s];
        const int rows = sheet.Rows(), cols = sheet.Columns();
        ws.index.firstRow = 0;
        ws.index.lastRowPlus1 = static_cast<std::uint32_t>(rows);
        ws.dimensions.firstRow = 0;
        ws.dimensions.lastRowPlus1 = static_cast<std::uint32_t>(rows);
        ws.dimensions.firstColumn = 0;
        ws.dimensions.lastColumnPlus1 = static_cast<std::uint16_t>(cols);
        ws.colInfos = sheets[s]->ColumnInfos();
        if (s > 0) ws.window2.options &= static_cast<std::uint16_t>(~0x0200);
        ws.cellTable.resize(static_cast<std::size_t>((rows + 31) / 32));

        for (int r = 0; r < rows; ++r) {
            Biff8::RowBlock& block = ws.cellTable[static_cast<std::size_t>(r / 32)];
            // Room for the whole block at once: at most 32 rows of `cols` cell records.
            if (block.cells.empty()) block.cells.reserve(static_cast<std::size_t>(std::min(32, rows - r) * cols));
            Biff8::Row row;
            row.row = static_cast<std::uint16_t>(r);
            row.lastColumnPlus1 = static_cast<std::uint16_t>(cols);
            block.rows.push_back(row);
            auto hashRow = [&](int hr) {
                auto& out = rowHashes[static_cast<std::size_t>(hr & 1)];
                for (int c = 0; c < cols; ++c) {
                    const XlsCell& cell = sheet.At(hr, c);
                    if (cell.kind != XlsCellKind::String && cell.kind != XlsCellKind::WString) continue;
                    out[static_cast<std::size_t>(c)] = HashOf(SstStringOf(cell));
                    unique.Prefetch(out[static_cast<std::size_t>(c)]);
                }
            };
            if (r == 0) hashRow(0);
            if (r + 1 < rows) hashRow(r + 1);
            const auto& hashes = rowHashes[static_cast<std::size_t>(r & 1)];
            for (int c = 0; c < cols; ++c) {
                const XlsCell& cell = sheet.At(r, c);
                switch (cell.kind) {
                    case XlsCellKind::Undefined:
                    case XlsCellKind::Formula:  // no formula is ever built; keep the cell's place
                        block.cells.emplace_back(MakeCell<Biff8::Blank>(r, c, cell.xfIndex));
                        break;
                    case XlsCellKind::WString:
                    case XlsCellKind::String: {
                        ++sst.totalCount;
                        const Biff8::SstString str = SstStringOf(cell);
                        auto label = MakeCell<Biff8::LabelSST>(r, c, cell.xfIndex);
                        label.sstIndex = unique.IndexOf(str, hashes[static_cast<std::size_t>(c)]);
                        block.cells.emplace_back(label);
                        break;
                    }
                    case XlsCellKind::Int:
                    case XlsCellKind::Double: {
                        const std::optional<std::uint32_t> rk = RkOf(cell);
                        if (!rk) {
                            auto number = MakeCell<Biff8::Number>(r, c, cell.xfIndex);
                            number.value = cell.kind == XlsCellKind::Int ? cell.intValue : cell.doubleValue;
                            block.cells.emplace_back(number);
                            break;
                        }
                        // Neighbours of the same kind that have an RK form too share one record.
                        int end = c + 1;
                        while (end < cols && sheet.At(r, end).kind == cell.kind && RkOf(sheet.At(r, end))) ++end;
                        if (end - c >= 2) {
                            Biff8::MulRK mul;
                            mul.row = static_cast<std::uint16_t>(r);
                            mul.firstColumn = static_cast<std::uint16_t>(c);
                            for (int k = c; k < end; ++k)
                                mul.cells.push_back({static_cast<std::uint16_t>(sheet.At(r, k).xfIndex), *RkOf(sheet.At(r, k))});
                            block.cells.emplace_back(std::move(mul));
                            c = end - 1;
                        } else {
                            auto record = MakeCell<Biff8::RK>(r, c, cell.xfIndex);
                            record.rk = *rk;
                            block.cells.emplace_back(record);
                        }
                        break;
                    }
                }
            }
        }
        sst.uniqueCount = static_cast<std::uint32_t>(sst.strings.size());
        // Merged ranges, in row-major order.
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const XlsCell& cell = sheet.At(r, c);
                if (cell.mergedRows > 1 || cell.mergedColumns > 1)
                    ws.mergedCells.push_back({static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(r + cell.mergedRows - 1),
                                              static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(c + cell.mergedColumns - 1)});
            }
    }
}

std::vector<std::uint8_t> XlsBook::BuildStream() {
    ConvertToRecords();
    const std::uint32_t total = Biff8::FixPositions(globals, worksheets);
    std::vector<std::uint8_t> buffer(total, 0);
    std::uint32_t pos = globals.Write(buffer.data());
    for (auto& ws : worksheets) pos += ws.Write(buffer.data() + pos);
    return buffer;
}

bool XlsBook::Save(cfb::Writer& file) { return file.Write(u"Workbook", BuildStream()); }
