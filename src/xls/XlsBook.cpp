#include "XlsBook.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

// ---- cells ----

void XlsCell::EraseContents() {
    kind = XlsCellKind::Undefined;
    text8.clear();
    text16.clear();
}

void XlsCell::SetString(const std::string& text) {
    if (text.empty()) return EraseContents();
    kind = XlsCellKind::String;
    text8 = text;
    text16.clear();
}

void XlsCell::SetWString(std::u16string_view text) {
    if (text.empty()) return EraseContents();
    kind = XlsCellKind::WString;
    text16.assign(text);
    text8.clear();
}

void XlsCell::SetInteger(std::int32_t value) {
    kind = XlsCellKind::Int;
    intValue = value;
}

void XlsCell::SetDouble(double value) {
    kind = XlsCellKind::Double;
    doubleValue = value;
}

// ---- sheet ----

XlsCell* XlsSheet::Cell(int row, int col) {
    if (row < 0 || col < 0 || row >= kMaxRows || col >= kMaxColumns) return nullptr;
    if (col >= columns_) {
        columns_ = col + 1;
        for (auto& r : grid_) r.resize(static_cast<std::size_t>(columns_));
    }
    if (row >= rows_) {
        rows_ = row + 1;
        grid_.resize(static_cast<std::size_t>(rows_), std::vector<XlsCell>(static_cast<std::size_t>(columns_)));
    }
    return &grid_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
}

// ---- book ----

XlsBook::~XlsBook() {
    if (storage) storage->Release();
}

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

int XlsBook::CreateWorkbookStream() {
    if (!storage) return -1;
    platform::IStream* stream = nullptr;
    const platform::HRESULT hr = storage->CreateStream(u"Workbook", 0x1012, 0, 0, &stream);
    if (hr < 0) return -1;
    stream->Release();
    return 1;
}

namespace {

// RK form of a double: the top 30 bits, optionally of the value times 100.
bool RkAble(double v) {
    const auto t100 = static_cast<std::int32_t>(std::trunc(v * 100));
    const auto t10000 = static_cast<std::int32_t>(std::trunc(v * 10000));
    return static_cast<std::int64_t>(t100) * 100 == t10000;
}

std::uint32_t DoubleRk(double v) {
    const bool times100 = !(std::trunc(v) * 100 == std::trunc(v * 100));
    const double x = times100 ? v * 100 : v;
    std::uint64_t bits;
    std::memcpy(&bits, &x, 8);
    return (static_cast<std::uint32_t>(bits >> 32) & ~3u) + (times100 ? 1u : 0u);
}

std::uint32_t IntRk(std::int32_t v) { return static_cast<std::uint32_t>(v) * 4 + 2; }

template <typename Rec>
Rec MakeCell(int row, int col, std::uint32_t xf) {
    Rec r;
    r.row = static_cast<std::uint16_t>(row);
    r.column = static_cast<std::uint16_t>(col);
    r.xfIndex = static_cast<std::uint16_t>(xf);
    return r;
}

}  // namespace

void XlsBook::ConvertToRecords() {
    worksheets.assign(sheets.size(), Biff8::Worksheet());
    Biff8::SharedStringTable& sst = globals.sst;
    sst.strings.clear();
    sst.totalCount = sst.uniqueCount = 0;
    std::unordered_map<std::string, std::uint32_t> narrowIndex;
    std::unordered_map<std::u16string, std::uint32_t> wideIndex;

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
            if (block.cells.empty()) block.cells.reserve(1000);
            Biff8::Row row;
            row.row = static_cast<std::uint16_t>(r);
            row.lastColumnPlus1 = static_cast<std::uint16_t>(cols);
            block.rows.push_back(row);
            for (int c = 0; c < cols; ++c) {
                if (block.cells.size() % 1000 == 0) block.cells.reserve(block.cells.size() + 1000);
                const XlsCell& cell = sheet.At(r, c);
                switch (cell.kind) {
                    case XlsCellKind::Undefined:
                    case XlsCellKind::Formula:  // no formula is ever built; keep the cell's place
                        block.cells.emplace_back(MakeCell<Biff8::Blank>(r, c, cell.xfIndex));
                        break;
                    case XlsCellKind::WString:
                    case XlsCellKind::String: {
                        const bool wide = cell.kind == XlsCellKind::WString;
                        ++sst.totalCount;
                        std::uint32_t index;
                        auto add = [&](auto& table, const auto& key) {
                            auto [it, inserted] = table.try_emplace(key, sst.uniqueCount);
                            if (inserted) {
                                Biff8::LargeString str;
                                if (wide) str.wide = cell.text16, str.flags = 0x01;
                                else str.narrow = cell.text8, str.flags = 0x00;
                                sst.strings.push_back(std::move(str));
                                ++sst.uniqueCount;
                            }
                            return it->second;
                        };
                        index = wide ? add(wideIndex, cell.text16) : add(narrowIndex, cell.text8);
                        auto label = MakeCell<Biff8::LabelSST>(r, c, cell.xfIndex);
                        label.sstIndex = index;
                        block.cells.emplace_back(label);
                        break;
                    }
                    case XlsCellKind::Int:
                    case XlsCellKind::Double: {
                        const bool isInt = cell.kind == XlsCellKind::Int;
                        const bool rkAble = isInt || RkAble(cell.doubleValue);
                        int end = c + 1;
                        while (end < cols && sheet.At(r, end).kind == cell.kind &&
                               (isInt || RkAble(sheet.At(r, end).doubleValue) == rkAble))
                            ++end;
                        if (!rkAble) {
                            auto number = MakeCell<Biff8::Number>(r, c, cell.xfIndex);
                            number.value = cell.doubleValue;
                            block.cells.emplace_back(number);
                            break;
                        }
                        auto rkOf = [&](const XlsCell& x) { return isInt ? IntRk(x.intValue) : DoubleRk(x.doubleValue); };
                        if (end - c >= 2) {
                            Biff8::MulRK mul;
                            mul.row = static_cast<std::uint16_t>(r);
                            mul.firstColumn = static_cast<std::uint16_t>(c);
                            for (int k = c; k < end; ++k)
                                mul.cells.push_back({static_cast<std::uint16_t>(sheet.At(r, k).xfIndex), rkOf(sheet.At(r, k))});
                            block.cells.emplace_back(std::move(mul));
                            c = end - 1;
                        } else {
                            auto rk = MakeCell<Biff8::RK>(r, c, cell.xfIndex);
                            rk.rk = rkOf(cell);
                            block.cells.emplace_back(rk);
                        }
                        break;
                    }
                }
            }
        }
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
    Biff8::FixPositions(globals, worksheets);
    std::uint32_t total = globals.Size();
    for (auto& ws : worksheets) total += ws.Size();
    std::vector<std::uint8_t> buffer(total, 0);
    std::uint32_t pos = globals.Write(buffer.data());
    for (auto& ws : worksheets) pos += ws.Write(buffer.data() + pos);
    return buffer;
}

bool XlsBook::Save() {
    if (!storage) return false;
    const std::vector<std::uint8_t> buffer = BuildStream();
    platform::IStream* stream = nullptr;
    if (storage->OpenStream(u"Workbook", nullptr, 0x0012, 0, &stream) < 0) return false;
    std::uint32_t written = 0;
    const platform::HRESULT hr = stream->Write(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &written);
    stream->Release();
    return hr >= 0;
}
