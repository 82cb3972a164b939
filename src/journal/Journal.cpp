#include "Journal.h"

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

constexpr int kApplicationId = 0x50455341;  // "PESA": this file is a Pesavo journal
// 1: 0.3's, a width code beside each weight (`width`); 2: the weight's decimals instead (the
// width column stays, unwritten, so that no journal has two shapes). An older journal is
// brought up to this version at its first opening.
constexpr int kVersion = 2;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS weighings("
    " id INTEGER PRIMARY KEY, number TEXT, data TEXT, unit TEXT, duration TEXT, update_time TEXT, explan TEXT,"
    " kind INTEGER, kg REAL, width INTEGER, at INTEGER, answered INTEGER, frame BLOB, decimals INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value);"
    "CREATE TABLE IF NOT EXISTS moves(temp TEXT, target TEXT, ids BLOB);"
    // (the outbox without a rowid: one b-tree, a page less in every row's commit)
    "CREATE TABLE IF NOT EXISTS outbox(run TEXT, id INTEGER, kind INTEGER, kg REAL, width INTEGER, frame BLOB, at INTEGER,"
    " repeat INTEGER NOT NULL DEFAULT 0, desk TEXT, decimals INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(run, id)) WITHOUT ROWID;";
// Columns added since the tables were first made, added to a journal that lacks them.
constexpr const char* kAddedColumns[][2] = {
    {"outbox", "repeat INTEGER NOT NULL DEFAULT 0"},  // (which rows may be repeats, and at which desk each was weighed)
    {"outbox", "desk TEXT"},
    {"weighings", "decimals INTEGER NOT NULL DEFAULT 0"},  // version 2
    {"outbox", "decimals INTEGER NOT NULL DEFAULT 0"},
};
constexpr const char* kTextColumns[weighing::kColumns] = {"number", "data", "unit", "duration", "update_time", "explan"};

#ifdef _WIN32
constexpr const char* kSeparator = "\\";
#else
constexpr const char* kSeparator = "/";
#endif

// A file this program opens as its journal: a Pesavo journal of this version or an older one.
bool OursToOpen(const std::string& id, const std::string& version) {
    if (id != std::to_string(kApplicationId)) return false;
    for (int v = 1; v <= kVersion; ++v)
        if (version == std::to_string(v)) return true;
    return false;
}

// The decimals of a row of a version 1 journal, from its kg and width code: of 1, 2 and 3 those
// that give that code, and of these the fewest that hold every digit of `kg` (from 100 to 999 kg
// two decimals and three show alike); 3 when none gives it. Other rows have none, as now.
std::int8_t DecimalsOf(int kind, double kg, int width) {
    if (kind == static_cast<int>(weighing::RowKind::Overweight) || kind == static_cast<int>(weighing::RowKind::Error)) return 0;
    int matching = 0;
    for (int d = 1; d <= 3; ++d) {
        if (weighing::WidthCode(kg, d) != width) continue;
        const double scaled = std::fabs(kg) * std::pow(10.0, d);
        if (std::fabs(scaled - std::round(scaled)) < 1e-6) return static_cast<std::int8_t>(d);
        if (matching == 0) matching = d;
    }
    return static_cast<std::int8_t>(matching != 0 ? matching : 3);
}

// DecimalsOf(kind, kg, width) in SQL, for the upgrade from version 1.
void DecimalsOfInSql(sqlite3_context* context, int, sqlite3_value** args) {
    sqlite3_result_int(context, DecimalsOf(sqlite3_value_int(args[0]), sqlite3_value_double(args[1]), sqlite3_value_int(args[2])));
}

// What went wrong, for the operator: the step, SQLite's words and the system's reason (an
// errno value, or on Windows the GetLastError() code).
std::string Reason(sqlite3* db, const char* step) {
    std::string text = std::string(step) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    const int system = db ? sqlite3_system_errno(db) : 0;
    if (system != 0) text += " (" + platform::SystemErrorText(system) + ")";
    return text;
}

bool Damaged(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// The first column of the first row of `sql`, as text; empty when there is none.
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

// Finds out, without writing a byte of it, what the entry at the journal's path is: SQLITE_OK
// when there is none, or an empty file, or a journal of ours; SQLITE_NOTADB or SQLITE_CORRUPT
// when it is to go aside (as it is); SQLITE_BUSY when another process holds it; otherwise what
// kept it from being read. `error` says why when it is not SQLITE_OK.
int Examine(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    const char* step = "checking the journal";
    std::error_code ec;
    const fs::path entry = platform::Utf8Path(path);
    switch (fs::symlink_status(entry, ec).type()) {
    case fs::file_type::regular: break;
    case fs::file_type::not_found: return SQLITE_OK;
    case fs::file_type::none:       // (not to be looked at, or a folder: the opening says why it fails)
    case fs::file_type::directory: return SQLITE_OK;
    default:  // a link is never followed: what it points to may be anybody's
        error = std::string(step) + ": it is a link or a device, not a file";
        return SQLITE_NOTADB;
    }
    if (fs::file_size(entry, ec) == 0 && !ec) return SQLITE_OK;  // (a start that died at once)
    // Read only, with what a killed Pesavo left in the write-ahead log.
    const fs::path index = platform::Utf8Path(path + "-shm");
    const bool hadIndex = fs::symlink_status(index, ec).type() != fs::file_type::not_found;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    std::string id, version, tables;
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 0);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);  // (a checkpoint writes the file)
        rc = QueryText(db, "PRAGMA application_id", id);
        if (rc == SQLITE_OK) rc = QueryText(db, "PRAGMA user_version", version);
        if (rc == SQLITE_OK) rc = QueryText(db, "SELECT count(*) FROM sqlite_schema", tables);
    }
    if (rc == SQLITE_READONLY_ROLLBACK) {
        error = std::string(step) + ": it is another program's database, in the middle of a change";
        rc = SQLITE_NOTADB;
    } else if (rc != SQLITE_OK) {
        error = Reason(db, step);
    } else if (tables != "0" && !OursToOpen(id, version)) {
        // (no tables: a Pesavo died creating it)
        error = std::string(step) + ": it is another program's database, or one of a later Pesavo";
        rc = SQLITE_NOTADB;
    }
    sqlite3_close_v2(db);
    // The index SQLite made to read the log serves nobody: the journal keeps its index in memory.
    if (!hadIndex) fs::remove(index, ec);
    return rc;
}

// Brings a freshly opened database to a held, checked journal. Returns SQLite's code (SQLITE_OK,
// SQLITE_BUSY when another process holds it, SQLITE_NOTADB when it is not a journal of ours).
int Hold(sqlite3* db, std::string& step) {
    sqlite3_busy_timeout(db, 0);  // a journal in use is reported at once, not waited for
    std::string value;
    // Held for this process alone until it closes: no second window mixes rows into it.
    step = "locking the journal";
    if (int rc = sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE; PRAGMA encoding='UTF-16le'", nullptr, nullptr, nullptr)) return rc;
    step = "reading the journal";
    if (int rc = QueryText(db, "PRAGMA journal_mode=WAL", value)) return rc;
    if (value != "wal") return SQLITE_CANTOPEN;
    step = "locking the journal";
    if (int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) return rc;
    step = "checking the journal";
    if (int rc = QueryText(db, "PRAGMA quick_check", value)) return rc;
    if (value != "ok") return SQLITE_CORRUPT;
    std::string id, version;
    if (int rc = QueryText(db, "PRAGMA application_id", id)) return rc;
    if (int rc = QueryText(db, "PRAGMA user_version", version)) return rc;
    std::string tables;
    if (int rc = QueryText(db, "SELECT count(*) FROM sqlite_schema", tables)) return rc;
    const bool empty = tables == "0";
    if (!empty && !OursToOpen(id, version))
        return SQLITE_NOTADB;  // somebody else's database, or one of a later Pesavo: keep it, aside
    step = "creating the journal";
    if (int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr)) return rc;
    // An older journal is brought up to this version in this same transaction: a failure on the
    // way leaves it as it was.
    step = "upgrading the journal";
    for (const auto& [table, column] : kAddedColumns) {
        const std::string name(std::string_view(column).substr(0, std::string_view(column).find(' ')));
        std::string has;
        const std::string query = "SELECT count(*) FROM pragma_table_info('" + std::string(table) + "') WHERE name = '" + name + "'";
        if (int rc = QueryText(db, query.c_str(), has)) return rc;
        if (has == "0")
            if (int rc = sqlite3_exec(db, ("ALTER TABLE " + std::string(table) + " ADD COLUMN " + column).c_str(), nullptr, nullptr, nullptr))
                return rc;
    }
    if (!empty && version == "1") {
        if (int rc = sqlite3_create_function(db, "pesavo_decimals", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, DecimalsOfInSql, nullptr,
                                             nullptr))
            return rc;
        if (int rc = sqlite3_exec(db,
                                  "UPDATE weighings SET decimals = pesavo_decimals(kind, kg, width);"
                                  "UPDATE outbox SET decimals = pesavo_decimals(kind, kg, width)",
                                  nullptr, nullptr, nullptr))
            return rc;
    }
    const std::string marks = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                              "; PRAGMA user_version=" + std::to_string(kVersion);
    if (int rc = sqlite3_exec(db, marks.c_str(), nullptr, nullptr, nullptr)) return rc;
    if (int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr)) return rc;
    return sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
}

// Moves a damaged journal, or whatever else took its name, aside under a name with the time:
// the entry itself (a link stays a link) with its write-ahead log and rollback journal; the bytes
// stay for whoever wants to look at them. Returns the new name, empty when it failed.
std::string MoveAside(const std::string& path) {
    char stamp[32] = "";
    std::tm local{};
    if (platform::ToLocalTime(std::time(nullptr), local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", &local);
    std::error_code ec;
    const auto taken = [&ec](const std::string& name) {
        for (const char* part : {"", "-wal", "-journal"})
            if (std::filesystem::symlink_status(platform::Utf8Path(name + part), ec).type() != std::filesystem::file_type::not_found)
                return true;
        return false;
    };
    std::string target = path + ".damaged-" + stamp;
    for (int n = 2; taken(target); ++n) target = path + ".damaged-" + stamp + "-" + std::to_string(n);
    std::filesystem::rename(platform::Utf8Path(path), platform::Utf8Path(target), ec);
    if (ec) return {};
    for (const char* part : {"-wal", "-journal"})
        std::filesystem::rename(platform::Utf8Path(path + part), platform::Utf8Path(target + part), ec);
    return target;
}

}  // namespace

bool Journal::Available() { return true; }

Journal::Opening Journal::Open(const std::string& folder) {
    Opening o;
    if (folder.empty()) {
        o.error = "the system names no folder for the user's data";
        return o;
    }
    o.path = folder + kSeparator + kFileName;
    std::error_code ec;
    std::filesystem::create_directories(platform::Utf8Path(folder), ec);
    if (ec) {
        o.error = "creating " + folder + ": " + ec.message();
        return o;
    }
#ifdef _WIN32
    const std::string& file = o.path;
#else
    // SQLite refuses a link anywhere on a path it is not to follow: it is given the folder's real
    // path, and only a link at the journal's own name (see Examine) keeps it out.
    const std::filesystem::path real = std::filesystem::canonical(platform::Utf8Path(folder), ec);
    const std::string file = (ec ? folder : real.string()) + kSeparator + kFileName;
#endif
    std::minstd_rand pause(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0, busy = 0; attempt < 2; ++attempt) {
        int rc = Examine(file, o.error);
        if (rc == SQLITE_OK) {
            sqlite3* db = nullptr;
            rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
            std::string step = "opening the journal";
            if (rc == SQLITE_OK) {
                sqlite3_extended_result_codes(db, 1);
                rc = Hold(db, step);
            }
            if (rc == SQLITE_OK) {
                std::unique_ptr<Journal> journal(new Journal(db));
                if (!journal->Prepare()) {
                    o.error = journal->Error();
                    return o;
                }
                o.journal = std::move(journal);
                o.status = o.movedTo.empty() ? Status::Opened : Status::MovedAside;
                return o;
            }
            o.error = Reason(db, step.c_str());
            sqlite3_close_v2(db);
        }
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
            // Two Pesavos starting at once may each keep the other out for a moment: one of them
            // gets it when they try again after different pauses. One that holds it keeps it.
            if (++busy < 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + pause() % 31));
                --attempt;
                continue;
            }
            o.status = Status::InUse;
            return o;
        }
        if (!Damaged(rc) || attempt > 0) return o;
        o.movedTo = MoveAside(o.path);
        if (o.movedTo.empty()) {
            o.error += "; it could not be moved aside";
            return o;
        }
    }
    return o;
}

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
