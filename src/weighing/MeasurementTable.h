#pragma once
// The measurement table without any user interface: one row per weighing, each row carrying its
// six texts, what it stands for (a weight with its decimals, an overweight or an error) and a
// sequence number that never repeats within a run. Rows are found by that number, so an export
// removes exactly the rows it wrote, wherever they stand by then.
//
// The texts of all rows share one character pool: a full table of 65,001 rows costs a handful
// of allocations, not one heap string per cell. A text rewritten with a longer one moves to the
// pool's end; the pool is compacted when more than half of it is unused, so every rewrite costs
// the same however long the table is.
#include "FrameDecoder.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace weighing {

inline constexpr int kColumns = 6;
enum Column : int { kNumber, kData, kUnit, kDuration, kUpdateTime, kExplan };

// The row at this index is the table's last: adding it ends the connection.
inline constexpr int kRowLimit = 65000;

using RowId = std::uint64_t;
using RowTexts = std::array<std::u16string_view, kColumns>;

// What a row stands for; the Data text of every unit is rendered from it.
struct Reading {
    RowKind kind = RowKind::Error;
    double kg = 0.0;            // signed; meaningful for weight rows
    std::int8_t decimals = 0;   // the weight's, as the scale sent it
};

// The Number text of the row at `row`: its position from 1, right-aligned in eight places.
std::u16string NumberText(std::size_t row);

// The Data text of `reading` in `unit`; error and overweight rows show the language's texts.
std::u16string DataText(const Reading& reading, int unit, std::u16string_view errorText,
                        std::u16string_view overweightText);

// Hears of every change to a table's rows, to keep a copy of them elsewhere (the journal on
// disk). Called on the table's thread, after the change.
class TableLog {
public:
    virtual ~TableLog() = default;
    virtual void Appended(RowId id, const RowTexts& texts, const Reading& reading) = 0;
    // A text was rewritten; the row's number is not told (it follows the row's position).
    virtual void TextChanged(RowId id, int column, std::u16string_view text) = 0;
    virtual void ReadingChanged(RowId id, const Reading& reading) = 0;
    // The row's Data and Unit texts were rendered again (a unit change).
    virtual void Rendered(RowId id, std::u16string_view data, std::u16string_view unit) = 0;
    virtual void Removed(const std::vector<RowId>& ids) = 0;
    virtual void Cleared() = 0;
};

// The texts and identities of rows at one moment, independent of the table afterwards.
class TableSnapshot {
public:
    std::size_t size() const { return ids_.size(); }
    std::u16string_view Text(std::size_t row, int column) const;
    const std::vector<RowId>& Ids() const { return ids_; }

private:
    friend class MeasurementTable;
    std::vector<RowId> ids_;
    std::vector<char16_t> chars_;
    std::vector<std::uint32_t> starts_;  // kColumns per row, then the end
};

class MeasurementTable {
public:
    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }

    // Appends a row and returns its identity.
    RowId Append(const RowTexts& texts, const Reading& reading);
    // Appends a row kept from an earlier run under its identity, which must be above every
    // identity this table has given (false otherwise); the log is not told. Later rows count on
    // from it.
    bool Restore(RowId id, const RowTexts& texts, const Reading& reading);
    // Every change from now on is told to `log` (none when null).
    void SetLog(TableLog* log) { log_ = log; }
    std::u16string_view Text(std::size_t row, int column) const;
    void SetText(std::size_t row, int column, std::u16string_view text);
    // The row's weight shown again, in another unit: its Data and Unit texts together.
    void Render(std::size_t row, std::u16string_view data, std::u16string_view unit);
    // Renders rows [first, end) again in `unit` (a unit change); error and overweight rows show
    // the language's texts.
    void RenderRows(std::size_t first, std::size_t end, int unit, std::u16string_view errorText,
                    std::u16string_view overweightText);
    RowId Id(std::size_t row) const { return rows_[row].id; }
    std::vector<RowId> Ids() const;  // of every row, in table order
    const Reading& ReadingAt(std::size_t row) const { return rows_[row].reading; }
    void SetReading(std::size_t row, const Reading& reading);

    void Clear();
    // The positions of the rows among `ids` (ascending, as a snapshot gives them), as runs of
    // (first position, count) from the last run to the first, so they can be removed in turn.
    std::vector<std::pair<std::size_t, std::size_t>> RunsOf(const std::vector<RowId>& ids) const;
    // Removes `count` rows from `first` on; later rows move up.
    void Erase(std::size_t first, std::size_t count);
    // Gives every row from `first` on the Number text of its position.
    void Renumber(std::size_t first);

    TableSnapshot Snapshot() const;

private:
    struct Slot {
        std::uint32_t begin, length, capacity;
    };
    struct Row {
        RowId id;
        Reading reading;
        std::array<Slot, kColumns> texts;
    };  // 104 bytes: a full table's rows take under 7 MB beside their texts
    Slot Store(std::u16string_view text);
    void SetTextQuietly(std::size_t row, int column, std::u16string_view text);
    void Reset();
    void Compact();

    std::vector<Row> rows_;
    std::vector<char16_t> chars_;
    std::size_t unused_ = 0;  // characters of the pool no row uses
    RowId nextId_ = 1;
    TableLog* log_ = nullptr;
};

}  // namespace weighing
