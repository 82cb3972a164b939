// Opening the journal: what is at its path is looked at before anything writes it, a journal of
// an earlier version is brought up to date, a damaged or foreign one is moved aside.
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

using detail::QueryText;
using detail::Reason;

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

bool Damaged(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
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

}  // namespace journal
