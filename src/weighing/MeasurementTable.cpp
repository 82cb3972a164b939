#include "MeasurementTable.h"

#include <algorithm>
#include <cstdio>

namespace weighing {

std::u16string NumberText(std::size_t row) {
    char text[32];
    std::snprintf(text, sizeof text, "%8lu", static_cast<unsigned long>(row + 1));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::u16string DataText(const Reading& reading, int unit, std::u16string_view errorText,
                        std::u16string_view overweightText) {
    switch (reading.kind) {
        case RowKind::Error: return std::u16string(errorText);
        case RowKind::Overweight: return std::u16string(overweightText);
        case RowKind::Weight: break;
    }
    const std::string text = WeightText(reading.kg, reading.decimals, unit);
    return std::u16string(text.begin(), text.end());
}

std::u16string_view TableSnapshot::Text(std::size_t row, int column) const {
    const std::size_t at = row * kColumns + static_cast<std::size_t>(column);
    return {chars_.data() + starts_[at], starts_[at + 1] - starts_[at]};
}

MeasurementTable::Slot MeasurementTable::Store(std::u16string_view text) {
    const auto begin = static_cast<std::uint32_t>(chars_.size());
    chars_.insert(chars_.end(), text.begin(), text.end());
    const auto length = static_cast<std::uint32_t>(text.size());
    return {begin, length, length};
}

RowId MeasurementTable::Append(const RowTexts& texts, const Reading& reading) {
    const RowId id = nextId_;
    Restore(id, texts, reading);
    if (log_) log_->Appended(id, texts, reading);
    return id;
}

bool MeasurementTable::Restore(RowId id, const RowTexts& texts, const Reading& reading) {
    if (id < nextId_) return false;  // identities never repeat, and ascend down the table
    Row row{id, reading, {}};
    for (int c = 0; c < kColumns; ++c) row.texts[static_cast<std::size_t>(c)] = Store(texts[static_cast<std::size_t>(c)]);
    rows_.push_back(row);
    nextId_ = id + 1;
    return true;
}

void MeasurementTable::SetReading(std::size_t row, const Reading& reading) {
    rows_[row].reading = reading;
    if (log_) log_->ReadingChanged(rows_[row].id, reading);
}

std::u16string_view MeasurementTable::Text(std::size_t row, int column) const {
    const Slot& s = rows_[row].texts[static_cast<std::size_t>(column)];
    return {chars_.data() + s.begin, s.length};
}

void MeasurementTable::SetText(std::size_t row, int column, std::u16string_view text) {
    SetTextQuietly(row, column, text);
    if (log_ && column != kNumber) log_->TextChanged(rows_[row].id, column, text);
}

void MeasurementTable::Render(std::size_t row, std::u16string_view data, std::u16string_view unit) {
    SetTextQuietly(row, kData, data);
    SetTextQuietly(row, kUnit, unit);
    if (log_) log_->Rendered(rows_[row].id, data, unit);
}

void MeasurementTable::RenderRows(std::size_t first, std::size_t end, int unit, std::u16string_view errorText,
                                  std::u16string_view overweightText) {
    const std::string unitText = UnitText(unit);
    const std::u16string unit16(unitText.begin(), unitText.end());
    for (std::size_t row = first; row < std::min(end, size()); ++row)
        Render(row, DataText(ReadingAt(row), unit, errorText, overweightText), unit16);
}

void MeasurementTable::SetTextQuietly(std::size_t row, int column, std::u16string_view text) {
    Slot& s = rows_[row].texts[static_cast<std::size_t>(column)];
    const auto length = static_cast<std::uint32_t>(text.size());
    if (length <= s.capacity) {
        std::copy(text.begin(), text.end(), chars_.begin() + s.begin);
        s.length = length;
        return;
    }
    unused_ += s.capacity;
    s = Store(text);
    if (unused_ > chars_.size() / 2) Compact();
}

std::vector<RowId> MeasurementTable::Ids() const {
    std::vector<RowId> ids;
    ids.reserve(rows_.size());
    for (const Row& row : rows_) ids.push_back(row.id);
    return ids;
}

void MeasurementTable::Clear() {
    Reset();
    if (log_) log_->Cleared();
}

void MeasurementTable::Reset() {
    rows_.clear();
    chars_.clear();
    unused_ = 0;
}

std::vector<std::pair<std::size_t, std::size_t>> MeasurementTable::RunsOf(const std::vector<RowId>& ids) const {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    // Rows keep the order they were appended in, so identities ascend down the table.
    auto from = rows_.begin();
    for (RowId id : ids) {
        from = std::lower_bound(from, rows_.end(), id, [](const Row& r, RowId wanted) { return r.id < wanted; });
        if (from == rows_.end()) break;
        if (from->id != id) continue;
        const auto at = static_cast<std::size_t>(from - rows_.begin());
        if (!runs.empty() && runs.back().first + runs.back().second == at) {
            ++runs.back().second;
        } else {
            runs.emplace_back(at, 1);
        }
        ++from;
    }
    std::reverse(runs.begin(), runs.end());
    return runs;
}

void MeasurementTable::Erase(std::size_t first, std::size_t count) {
    first = std::min(first, rows_.size());
    count = std::min(count, rows_.size() - first);
    std::vector<RowId> ids;
    if (log_) ids.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        for (const Slot& s : rows_[i].texts) unused_ += s.capacity;
        if (log_) ids.push_back(rows_[i].id);
    }
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(first), rows_.begin() + static_cast<std::ptrdiff_t>(first + count));
    if (log_ && !ids.empty()) log_->Removed(ids);
    if (rows_.empty()) {
        Reset();
    } else if (unused_ > chars_.size() / 2) {
        Compact();
    }
}

void MeasurementTable::Renumber(std::size_t first) {
    for (std::size_t i = first; i < rows_.size(); ++i) SetTextQuietly(i, kNumber, NumberText(i));
}

TableSnapshot MeasurementTable::Snapshot() const {
    TableSnapshot s;
    s.ids_.reserve(rows_.size());
    s.starts_.reserve(rows_.size() * kColumns + 1);
    s.chars_.reserve(chars_.size() - std::min(unused_, chars_.size()));
    for (const Row& row : rows_) {
        s.ids_.push_back(row.id);
        for (const Slot& slot : row.texts) {
            s.starts_.push_back(static_cast<std::uint32_t>(s.chars_.size()));
            s.chars_.insert(s.chars_.end(), chars_.begin() + slot.begin, chars_.begin() + slot.begin + slot.length);
        }
    }
    s.starts_.push_back(static_cast<std::uint32_t>(s.chars_.size()));
    return s;
}

void MeasurementTable::Compact() {
    std::vector<char16_t> packed;
    packed.reserve(chars_.size() - std::min(unused_, chars_.size()));
    for (Row& row : rows_) {
        for (Slot& s : row.texts) {
            const auto begin = static_cast<std::uint32_t>(packed.size());
            packed.insert(packed.end(), chars_.begin() + s.begin, chars_.begin() + s.begin + s.capacity);
            s.begin = begin;
        }
    }
    chars_ = std::move(packed);
    unused_ = 0;
}

}  // namespace weighing
