#include "Journal.h"
#include "JournalSql.h"

#include "platform/LocalTime.h"
#include "platform/SerialDevice.h"
#include "platform/Utf.h"

#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

namespace journal {

namespace {

constexpr const char* kTextColumns[weighing::kColumns] = {"number", "data", "unit", "duration", "update_time", "explan"};

}  // namespace

namespace detail {

std::string Reason(sqlite3* db, const char* step) {
    std::string text = std::string(step) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    const int system = db ? sqlite3_system_errno(db) : 0;
    if (system != 0) text += " (" + platform::SystemErrorText(system) + ")";
    return text;
}

int QueryText(sqlite3* db, const char* sql, std::string& out) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(s, 0);
            out = text ? reinterpret_cast<const char*>(text) : "";
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE) {
            out.clear();
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(s);
    return rc;
}

}  // namespace detail

using detail::QueryText;
using detail::Reason;

Journal::Journal(sqlite3* db) : db_(db) {}

Journal::~Journal() {
    Commit();
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_close_v2(db_);
}

sqlite3_stmt* Journal::Statement(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        Fail("preparing the journal");
        return nullptr;
    }
    statements_.push_back(s);
    return s;
}

bool Journal::Prepare() {
    insert_ = Statement(
        "INSERT INTO weighings(id, number, data, unit, duration, update_time, explan, kind, kg, decimals, at, answered, frame)"
        " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, 0, ?12)");
    for (int c = 0; c < weighing::kColumns; ++c) {
        const std::string sql = std::string("UPDATE weighings SET ") + kTextColumns[c] + " = ?1 WHERE id = ?2";
        updateText_[static_cast<std::size_t>(c)] = Statement(sql.c_str());
    }
    updateReading_ = Statement("UPDATE weighings SET kind = ?1, kg = ?2, decimals = ?3 WHERE id = ?4");
    render_ = Statement("UPDATE weighings SET data = ?1, unit = ?2 WHERE id = ?3");
    remove_ = Statement("DELETE FROM weighings WHERE id = ?1");
    removeAll_ = Statement("DELETE FROM weighings");
    answered_ = Statement("UPDATE weighings SET answered = 1 WHERE id = ?1");
    setUnit_ = Statement("INSERT OR REPLACE INTO settings(key, value) VALUES('unit', ?1)");
    noteMove_ = Statement("INSERT INTO moves(temp, target, ids) VALUES(?1, ?2, ?3)");
    movesDone_ = Statement("DELETE FROM moves");
    toOutbox_ = Statement("INSERT OR IGNORE INTO outbox(run, id, kind, kg, decimals, frame, at, repeat, desk) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    outboxReading_ = Statement("UPDATE outbox SET kind = ?1, kg = ?2, decimals = ?3 WHERE run = ?4 AND id = ?5");
    sent_ = Statement("DELETE FROM outbox WHERE run = ?1 AND id = ?2");
    return !Failed();
}

bool Journal::TryAgain() {
    if (inTransaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
    error_.clear();
    return true;
}

bool Journal::Fail(const char* what) {
    if (!Failed()) error_ = Reason(db_, what);
    if (inTransaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
    return false;
}

bool Journal::Begin() {
    if (Failed()) return false;
    if (inTransaction_) return true;
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return Fail("writing to the journal");
    inTransaction_ = true;
    return true;
}

bool Journal::Step(sqlite3_stmt* statement, const char* what) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);  // (every use binds every parameter again)
    return rc == SQLITE_DONE || rc == SQLITE_ROW || Fail(what);
}

bool Journal::Commit(bool synced) {
    if (Failed()) return false;
    if (!inTransaction_) return true;
    // Commits into a file that was deleted or moved away (its folder removed) reach nothing a
    // later start would find.
    int moved = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved) {
        error_ = "the journal's file was deleted or moved away";
        return Fail("saving the journal");
    }
    // (The write-ahead log keeps an unsynced commit whole: it is there after a crash, and a
    // power cut loses it whole or not at all.)
    if (!synced) sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    const bool committed = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!synced) sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (!committed) return Fail("saving the journal");
    inTransaction_ = false;
    return true;
}

namespace {

// The text stays where it is until the statement has run: it is not copied.
void BindText(sqlite3_stmt* s, int index, std::u16string_view text) {
    sqlite3_bind_text16(s, index, text.empty() ? u"" : text.data(), static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_STATIC);
}

}  // namespace

void Journal::NextRowFrom(const std::uint8_t* bytes, std::size_t size, bool maybeRepeat) {
    nextFrame_.assign(bytes, bytes + size);
    hasNextFrame_ = true;
    nextMaybeRepeat_ = maybeRepeat;
}

void Journal::Appended(weighing::RowId id, const weighing::RowTexts& texts, const weighing::Reading& reading) {
    const bool fromFrame = std::exchange(hasNextFrame_, false);
    const bool maybeRepeat = fromFrame && std::exchange(nextMaybeRepeat_, false);
    if (!Begin()) return;
    sqlite3_bind_int64(insert_, 1, static_cast<sqlite3_int64>(id));
    for (int c = 0; c < weighing::kColumns; ++c) BindText(insert_, 2 + c, texts[static_cast<std::size_t>(c)]);
    sqlite3_bind_int(insert_, 8, static_cast<int>(reading.kind));
    sqlite3_bind_double(insert_, 9, reading.kg);
    sqlite3_bind_int(insert_, 10, reading.decimals);
    const std::int64_t now = std::time(nullptr);
    sqlite3_bind_int64(insert_, 11, static_cast<sqlite3_int64>(now));
    if (fromFrame) sqlite3_bind_blob(insert_, 12, nextFrame_.data(), static_cast<int>(nextFrame_.size()), SQLITE_TRANSIENT);
    else sqlite3_bind_null(insert_, 12);
    if (!Step(insert_, "writing a row to the journal") || siteRun_.empty()) return;
    static const std::vector<std::uint8_t> none(6);  // (the site keeps six bytes for every row)
    const std::vector<std::uint8_t>& frame = fromFrame ? nextFrame_ : none;
    sqlite3_bind_text(toOutbox_, 1, siteRun_.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(toOutbox_, 2, static_cast<sqlite3_int64>(id));
    sqlite3_bind_int(toOutbox_, 3, static_cast<int>(reading.kind));
    sqlite3_bind_double(toOutbox_, 4, reading.kg);
    sqlite3_bind_int(toOutbox_, 5, reading.decimals);
    sqlite3_bind_blob(toOutbox_, 6, frame.data(), static_cast<int>(frame.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(toOutbox_, 7, static_cast<sqlite3_int64>(now));
    sqlite3_bind_int(toOutbox_, 8, maybeRepeat ? 1 : 0);
    sqlite3_bind_text(toOutbox_, 9, siteDesk_.c_str(), -1, SQLITE_TRANSIENT);
    Step(toOutbox_, "writing a row to the site's outbox");
}

void Journal::KeepForSite(std::string run, std::string desk) {
    siteRun_ = std::move(run);
    siteDesk_ = std::move(desk);
}

std::vector<OutboxRow> Journal::Outbox(std::size_t limit) {
    std::vector<OutboxRow> rows;
    if (Failed()) return rows;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT run, id, kind, kg, decimals, frame, at, repeat, coalesce(desk, '') FROM outbox ORDER BY run, id LIMIT ?1", -1, &select,
                           nullptr) != SQLITE_OK) {
        Fail("reading the site's outbox");
        return rows;
    }
    sqlite3_bind_int64(select, 1, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(select) == SQLITE_ROW) {
        OutboxRow row;
        row.run = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
        row.id = static_cast<weighing::RowId>(sqlite3_column_int64(select, 1));
        row.reading = {static_cast<weighing::RowKind>(sqlite3_column_int(select, 2)), sqlite3_column_double(select, 3),
                       static_cast<std::int8_t>(sqlite3_column_int(select, 4))};
        const auto* frame = static_cast<const std::uint8_t*>(sqlite3_column_blob(select, 5));
        row.frame.assign(frame, frame + (frame ? sqlite3_column_bytes(select, 5) : 0));
        row.at = sqlite3_column_int64(select, 6);
        row.maybeRepeat = sqlite3_column_int(select, 7) != 0;
        row.desk = reinterpret_cast<const char*>(sqlite3_column_text(select, 8));
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(select);
    return rows;
}

std::int64_t Journal::OutboxSize() {
    sqlite3_stmt* count = nullptr;
    std::int64_t n = 0;
    if (!Failed() && sqlite3_prepare_v2(db_, "SELECT count(*) FROM outbox", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
        n = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    return n;
}

void Journal::SentToSite(const std::vector<OutboxRow>& rows) {
    for (const OutboxRow& row : rows) {
        if (!Begin()) return;
        sqlite3_bind_text(sent_, 1, row.run.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(sent_, 2, static_cast<sqlite3_int64>(row.id));
        if (!Step(sent_, "removing a row the site has from the outbox")) return;
    }
}

void Journal::TextChanged(weighing::RowId id, int column, std::u16string_view text) {
    if (column < 0 || column >= weighing::kColumns || !Begin()) return;
    sqlite3_stmt* s = updateText_[static_cast<std::size_t>(column)];
    BindText(s, 1, text);
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(id));
    Step(s, "writing a row to the journal");
}

void Journal::ReadingChanged(weighing::RowId id, const weighing::Reading& reading) {
    if (!Begin()) return;
    sqlite3_bind_int(updateReading_, 1, static_cast<int>(reading.kind));
    sqlite3_bind_double(updateReading_, 2, reading.kg);
    sqlite3_bind_int(updateReading_, 3, reading.decimals);
    sqlite3_bind_int64(updateReading_, 4, static_cast<sqlite3_int64>(id));
    if (!Step(updateReading_, "writing a row to the journal") || siteRun_.empty()) return;
    // (a row the site already has keeps what it was sent with)
    sqlite3_bind_int(outboxReading_, 1, static_cast<int>(reading.kind));
    sqlite3_bind_double(outboxReading_, 2, reading.kg);
    sqlite3_bind_int(outboxReading_, 3, reading.decimals);
    sqlite3_bind_text(outboxReading_, 4, siteRun_.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(outboxReading_, 5, static_cast<sqlite3_int64>(id));
    Step(outboxReading_, "writing a row to the site's outbox");
}

void Journal::Rendered(weighing::RowId id, std::u16string_view data, std::u16string_view unit) {
    if (!Begin()) return;
    BindText(render_, 1, data);
    BindText(render_, 2, unit);
    sqlite3_bind_int64(render_, 3, static_cast<sqlite3_int64>(id));
    Step(render_, "writing a row to the journal");
}

void Journal::Removed(const std::vector<weighing::RowId>& ids) {
    if (!Begin()) return;
    for (weighing::RowId id : ids) {
        sqlite3_bind_int64(remove_, 1, static_cast<sqlite3_int64>(id));
        if (!Step(remove_, "removing rows from the journal")) return;
    }
}

void Journal::Cleared() {
    if (Begin()) Step(removeAll_, "removing rows from the journal");
}

void Journal::MarkAnswered(weighing::RowId id) {
    if (!Begin()) return;
    sqlite3_bind_int64(answered_, 1, static_cast<sqlite3_int64>(id));
    Step(answered_, "writing to the journal");
}

void Journal::SetUnit(int unit) {
    if (!Begin()) return;
    sqlite3_bind_int(setUnit_, 1, unit);
    Step(setUnit_, "writing to the journal");
}

void Journal::NoteMove(const PendingMove& move) {
    if (!Begin()) return;
    sqlite3_bind_text(noteMove_, 1, move.temp.c_str(), static_cast<int>(move.temp.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(noteMove_, 2, move.target.c_str(), static_cast<int>(move.target.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(noteMove_, 3, move.ids.data(), static_cast<int>(move.ids.size() * sizeof(weighing::RowId)), SQLITE_TRANSIENT);
    Step(noteMove_, "writing to the journal");
}

void Journal::MovesDone() {
    if (Begin()) Step(movesDone_, "writing to the journal");
}

std::vector<PendingMove> Journal::PendingMoves() {
    std::vector<PendingMove> moves;
    if (Failed()) return moves;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT temp, target, ids FROM moves ORDER BY rowid", -1, &s, nullptr) != SQLITE_OK) {
        Fail("reading the journal");
        return moves;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        PendingMove& m = moves.emplace_back();
        if (const auto* t = sqlite3_column_text(s, 0)) m.temp = reinterpret_cast<const char*>(t);
        if (const auto* t = sqlite3_column_text(s, 1)) m.target = reinterpret_cast<const char*>(t);
        m.ids.resize(static_cast<std::size_t>(sqlite3_column_bytes(s, 2)) / sizeof(weighing::RowId));
        if (!m.ids.empty()) std::memcpy(m.ids.data(), sqlite3_column_blob(s, 2), m.ids.size() * sizeof(weighing::RowId));
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) {
        Fail("reading the journal");
        moves.clear();
    }
    return moves;
}

int Journal::Unit() {
    if (Failed()) return 0;
    std::string value;
    if (QueryText(db_, "SELECT value FROM settings WHERE key = 'unit'", value) != SQLITE_OK) {
        Fail("reading the journal");
        return 0;
    }
    const int unit = std::atoi(value.c_str());
    return unit >= 0 && unit <= 2 ? unit : 0;
}

std::vector<StoredRow> Journal::Rows() {
    std::vector<StoredRow> rows;
    if (Failed()) return rows;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, number, data, unit, duration, update_time, explan, kind, kg, decimals, at, answered, frame"
                           " FROM weighings ORDER BY id",
                           -1, &s, nullptr) != SQLITE_OK) {
        Fail("reading the journal");
        return rows;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        StoredRow& row = rows.emplace_back();
        row.id = static_cast<weighing::RowId>(sqlite3_column_int64(s, 0));
        for (int c = 0; c < weighing::kColumns; ++c) {
            const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(s, 1 + c));
            const int bytes = sqlite3_column_bytes16(s, 1 + c);
            if (text) row.texts[static_cast<std::size_t>(c)].assign(text, static_cast<std::size_t>(bytes) / sizeof(char16_t));
        }
        const int kind = sqlite3_column_int(s, 7);
        row.reading.kind = kind == 1 ? weighing::RowKind::Overweight : kind == 2 ? weighing::RowKind::Error : weighing::RowKind::Weight;
        row.reading.kg = sqlite3_column_double(s, 8);
        row.reading.decimals = static_cast<std::int8_t>(sqlite3_column_int(s, 9));
        row.at = sqlite3_column_int64(s, 10);
        row.answered = sqlite3_column_int(s, 11) != 0;
        const auto* frame = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 12));
        row.frame.assign(frame, frame + (frame ? sqlite3_column_bytes(s, 12) : 0));
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) {
        Fail("reading the journal");
        rows.clear();
    }
    return rows;
}

}  // namespace journal
