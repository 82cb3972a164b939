// The journal on its own: what a table does reaches the disk, what was never committed does
// not, one process holds it, and a damaged, unwritable or full journal is reported, never lost.
#include "Journal.h"
#include "../support/ReadOnlyFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using journal::Journal;

long ThisProcess() {
#ifdef _WIN32
    return static_cast<long>(::GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

// The folder the test process `process` works in.
fs::path TestRoot(long process) { return fs::temp_directory_path() / ("pesavo-journal-" + std::to_string(process)); }

// Where the test process `process` and the processes it starts keep their journal: created on
// the way, under a name that is not ASCII (it reaches the system in UTF-8, or as UTF-16 on Windows).
std::string SharedFolder(long process) { return Utf8(TestRoot(process) / fs::path(u8"数据 data") / "pesavo"); }

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TestRoot(ThisProcess());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Folder(const std::string& name) const { return Utf8(dir_ / name); }
    fs::path dir_;
};

weighing::RowTexts Texts(const std::u16string& number, const std::u16string& data, const std::u16string& unit) {
    static const std::u16string duration = u"00:00:01", time = u"14:05:09 12/07/2026", explan = u"数据校验错误 📦";
    return {number, data, unit, duration, time, explan};
}

const std::uint8_t kFrame[6] = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};

// The part a second process plays (see main), in the folder of the test process `parent`.
int ChildWork(const std::string& role, long parent) {
    const std::string folder = SharedFolder(parent);
    if (role == "second") {
        // A second Pesavo is told the journal is in use, and mixes nothing in.
        const Journal::Opening second = Journal::Open(folder);
        return second.status == Journal::Status::InUse && !second.journal ? 0 : 1;
    }
    if (role != "dies") return 100;
    Journal::Opening opening = Journal::Open(folder);
    if (!opening.journal) return 2;
    Journal& j = *opening.journal;
    weighing::MeasurementTable table;
    table.SetLog(&j);
    j.KeepForSite("start-1", "desk 1");
    j.NextRowFrom(kFrame, sizeof kFrame);
    const weighing::RowId first = table.Append(Texts(u"       1", u"123.4", u"KG"), {weighing::RowKind::Weight, 123.4, 1});
    table.Append(Texts(u"       2", u"Error", u"KG"), {weighing::RowKind::Error, 0, 0});
    table.Append(Texts(u"       3", u"5.0", u"KG"), {weighing::RowKind::Weight, 5.0, 1});
    j.MarkAnswered(first);
    if (!j.Commit()) return 3;
    // A unit change, a saved row leaving, and renumbering (not journalled: it follows positions).
    table.SetText(0, weighing::kData, u"272.0");
    table.SetText(0, weighing::kUnit, u"LB");
    j.SetUnit(1);
    table.Erase(1, 1);
    table.Renumber(1);
    if (!j.Commit()) return 4;
    table.Append(Texts(u"       3", u"9.9", u"LB"), {});
    if (!j.Commit()) return 5;
    // Never committed: gone with the process, as a row is when the program dies before its answer.
    table.Append(Texts(u"       4", u"1.1", u"LB"), {});
    std::_Exit(0);  // no destructor runs: nothing is closed or committed
}

// Runs this program again as a second process playing `role`, which ends without any orderly
// close, as a killed program does; returns its exit code.
int InChildProcess(const std::string& role) {
    const std::string parent = std::to_string(ThisProcess());
#ifdef _WIN32
    wchar_t self[MAX_PATH + 1];
    if (::GetModuleFileNameW(nullptr, self, MAX_PATH + 1) > MAX_PATH) return -1;
    std::wstring line = L"\"" + std::wstring(self) + L"\" --journal-child " + std::wstring(role.begin(), role.end()) + L" " +
                        std::wstring(parent.begin(), parent.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) return -1;
    ::WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = ~0u;
    ::GetExitCodeProcess(child.hProcess, &code);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return static_cast<int>(code);
#else
    std::string self = "/proc/self/exe", option = "--journal-child", part = role, of = parent;
    char* argv[] = {self.data(), option.data(), part.data(), of.data(), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

TEST_F(JournalTest, KeepsWhatWasCommittedAndIsHeldByOneProcess) {
    const std::string folder = SharedFolder(ThisProcess());
    {
        Journal::Opening holder = Journal::Open(folder);
        ASSERT_EQ(holder.status, Journal::Status::Opened) << holder.error;
        EXPECT_TRUE(holder.journal->Rows().empty());
        EXPECT_EQ(InChildProcess("second"), 0);
    }
    const int died = InChildProcess("dies");
    ASSERT_EQ(died, 0);
    Journal::Opening again = Journal::Open(folder);
    ASSERT_EQ(again.status, Journal::Status::Opened) << again.error;
    const auto rows = again.journal->Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].texts[weighing::kData], u"272.0");
    EXPECT_EQ(rows[0].texts[weighing::kUnit], u"LB");
    EXPECT_EQ(rows[0].texts[weighing::kExplan], u"数据校验错误 📦");
    EXPECT_EQ(rows[0].reading.decimals, 1);
    EXPECT_TRUE(rows[0].answered);
    EXPECT_EQ(rows[0].frame, std::vector<std::uint8_t>(std::begin(kFrame), std::end(kFrame)));
    EXPECT_EQ(rows[1].texts[weighing::kData], u"5.0");
    EXPECT_FALSE(rows[1].answered);
    EXPECT_EQ(rows[2].texts[weighing::kData], u"9.9");
    EXPECT_EQ(again.journal->Unit(), 1);
    EXPECT_GT(rows[0].at, 0);

    // The site's outbox keeps every committed weighing, the saved one too, until the site has it.
    Journal& j = *again.journal;
    auto outbox = j.Outbox(10);
    ASSERT_EQ(outbox.size(), 4u);
    EXPECT_EQ(j.OutboxSize(), 4);
    EXPECT_EQ(outbox[0].run, "start-1");
    EXPECT_EQ(outbox[0].id, rows[0].id);
    EXPECT_EQ(outbox[0].reading.kg, 123.4);
    EXPECT_EQ(outbox[0].frame, rows[0].frame);
    EXPECT_EQ(outbox[1].reading.kind, weighing::RowKind::Error);
    j.Cleared();
    j.KeepForSite("start-2", "desk 1, renamed");  // (rows of the start before keep their name)
    weighing::MeasurementTable table;
    table.SetLog(&j);
    table.Append(Texts(u"       1", u"7.0", u"KG"), {weighing::RowKind::Weight, 7.0, 1});
    j.SentToSite({outbox[0], outbox[2]});
    ASSERT_TRUE(j.Commit());
    outbox = j.Outbox(10);
    ASSERT_EQ(outbox.size(), 3u);
    EXPECT_EQ(outbox[0].reading.kind, weighing::RowKind::Error);
    EXPECT_EQ(outbox[2].run, "start-2");
    EXPECT_EQ(outbox[0].desk + " | " + outbox[2].desk, "desk 1 | desk 1, renamed");
    EXPECT_EQ(j.Outbox(1).size(), 1u);
}

TEST_F(JournalTest, ADamagedUnwritableOrFullJournalIsReportedAndKept) {
    // Not a journal: moved aside with its bytes, and a fresh one takes its place.
    const std::string damaged = Folder("damaged");
    fs::create_directories(damaged);
    std::ofstream(damaged + "/" + journal::kFileName, std::ios::binary) << std::string(3000, 'x');
    Journal::Opening opening = Journal::Open(damaged);
    ASSERT_EQ(opening.status, Journal::Status::MovedAside) << opening.error;
    ASSERT_NE(opening.journal, nullptr);
    EXPECT_EQ(fs::file_size(opening.movedTo), 3000u);
    weighing::MeasurementTable table;
    table.SetLog(opening.journal.get());
    table.Append(Texts(u"       1", u"1.0", u"KG"), {});
    EXPECT_TRUE(opening.journal->Commit());
    table.SetLog(nullptr);

    // A journal that cannot be created, its name taken by a folder: reported, nothing moved aside.
    const std::string taken = Folder("taken");
    fs::create_directories(fs::path(taken) / journal::kFileName);
    const Journal::Opening refused = Journal::Open(taken);
    EXPECT_EQ(refused.status, Journal::Status::Failed);
    EXPECT_EQ(refused.journal, nullptr);
    EXPECT_NE(refused.error.find("journal"), std::string::npos) << refused.error;
    EXPECT_EQ(refused.error.find_first_of("\r\n"), std::string::npos) << refused.error;  // one line, the system's reason in it
    EXPECT_TRUE(fs::is_directory(fs::path(taken) / journal::kFileName));

#ifdef _WIN32
    GTEST_SKIP() << "a read-only folder and a full disk are made with Linux mounts";
#else
    // A folder nobody may write to.
    const std::string locked = Folder("locked");
    fs::create_directories(locked);
    ReadOnlyFolder readOnly(locked);
    if (readOnly.Ok()) {
        Journal::Opening failed = Journal::Open(locked);
        EXPECT_EQ(failed.status, Journal::Status::Failed);
        EXPECT_EQ(failed.journal, nullptr);
        EXPECT_NE(failed.error.find("journal"), std::string::npos) << failed.error;
    }

    // A disk that fills up while rows come: the commit fails, says why, and the journal stops.
    const std::string small = Folder("small");
    fs::create_directories(small);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
    {
        Journal::Opening full = Journal::Open(small);
        ASSERT_EQ(full.status, Journal::Status::Opened) << full.error;
        { std::ofstream filler(small + "/filler", std::ios::binary); filler << std::string(1 << 20, 'f'); }
        weighing::MeasurementTable rows;
        rows.SetLog(full.journal.get());
        bool committed = true;
        for (int i = 0; i < 200 && committed; ++i) {
            rows.Append(Texts(u"       1", std::u16string(500, u'9'), u"KG"), {});
            committed = full.journal->Commit();
        }
        EXPECT_FALSE(committed);
        EXPECT_TRUE(full.journal->Failed());
        EXPECT_NE(full.journal->Error().find("full"), std::string::npos) << full.journal->Error();
        rows.SetLog(nullptr);
    }
    std::system(("umount '" + small + "'").c_str());
#endif
}

// A journal 0.3 wrote (version 1: a width code beside each weight) is brought up to date in place
// at its first opening, every row, the unit, the pending move and the outbox as they were and
// each weight with the decimals its scale sent; later openings leave it so, and one of a later
// Pesavo is refused and kept as it was.
TEST_F(JournalTest, AJournalOf03IsUpgradedInPlace) {
    const fs::path folder = dir_ / "0.3", file = folder / journal::kFileName;
    fs::create_directories(folder);
    fs::copy_file(fs::path(PESAVO_SOURCE_DIR) / "tests" / "journal" / "data" / "journal-0.3.sqlite3", file);
    const auto userVersion = [&] {
        sqlite3* db = nullptr;
        std::string version = "none";
        sqlite3_stmt* s = nullptr;
        if (sqlite3_open_v2(Utf8(file).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            version = std::to_string(sqlite3_column_int(s, 0));
        sqlite3_finalize(s);
        sqlite3_close(db);
        return version;
    };
    using Bytes = std::vector<std::uint8_t>;
    const Bytes weightFrame = {0x5F, 0x08, 0x00, 0x04, 0xD2, 0x81}, overweightFrame = {0x3F, 0, 0, 0, 0, 0},
                damagedFrame = {0x5F, 0x08, 0x00, 0x10, 0x00, 0x00};
    for (int opening = 1; opening <= 2; ++opening) {
        SCOPED_TRACE(opening);
        Journal::Opening o = Journal::Open(Utf8(folder));
        ASSERT_EQ(o.status, Journal::Status::Opened) << o.error;
        Journal& j = *o.journal;
        const auto rows = j.Rows();
        ASSERT_EQ(rows.size(), opening == 1 ? 3u : 4u);
        EXPECT_EQ(rows[0].texts[weighing::kData] + u"|" + rows[1].texts[weighing::kData] + u"|" + rows[2].texts[weighing::kData],
                  u"1.234|Overweight|Data error");
        EXPECT_EQ(rows[2].texts[weighing::kExplan], u"Check error, received:5F0800100000");
        EXPECT_EQ(rows[0].texts[weighing::kUnit], u"KG");
        EXPECT_EQ(rows[0].reading.kind, weighing::RowKind::Weight);
        EXPECT_EQ(rows[0].reading.kg, 1.234);
        EXPECT_EQ(int{rows[0].reading.decimals}, 3);
        EXPECT_EQ(rows[1].reading.kind, weighing::RowKind::Overweight);
        EXPECT_EQ(int{rows[1].reading.decimals}, 0);
        EXPECT_EQ(rows[2].reading.kind, weighing::RowKind::Error);
        EXPECT_EQ(rows[0].frame, weightFrame);
        EXPECT_EQ(rows[1].frame, overweightFrame);
        EXPECT_EQ(rows[2].frame, damagedFrame);
        EXPECT_TRUE(rows[1].answered);
        EXPECT_FALSE(rows[2].answered);
        EXPECT_EQ(j.Unit(), weighing::kLb);
        const auto moves = j.PendingMoves();
        ASSERT_EQ(moves.size(), 1u);
        EXPECT_EQ(moves[0].target, "/nonexistent/Table.xls");
        EXPECT_EQ(moves[0].ids, std::vector<weighing::RowId>{rows[0].id});
        const auto outbox = j.Outbox(10);
        ASSERT_EQ(outbox.size(), 1u);
        EXPECT_EQ(outbox[0].run + " | " + outbox[0].desk, "run-0.3 | desk 0.3");
        EXPECT_EQ(outbox[0].id, rows[0].id);
        EXPECT_EQ(outbox[0].reading.kg, 1.234);
        EXPECT_EQ(int{outbox[0].reading.decimals}, 3);
        EXPECT_EQ(outbox[0].frame, weightFrame);
        if (opening == 1) {
            // A row of this version: an upgrade run again would take its decimals from a width
            // code it does not have.
            weighing::MeasurementTable table;
            ASSERT_TRUE(table.Restore(rows.back().id, {}, {}));
            table.SetLog(&j);
            table.Append(Texts(u"       4", u"12.34", u"KG"), {weighing::RowKind::Weight, 12.34, 2});
            ASSERT_TRUE(j.Commit());
            table.SetLog(nullptr);
        } else {
            EXPECT_EQ(int{rows[3].reading.decimals}, 2);
        }
        o.journal.reset();
        EXPECT_EQ(userVersion(), "2");
    }

    // One of a later Pesavo: moved aside as it was.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Utf8(file).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=3", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::ifstream in(file, std::ios::binary);
    const std::string later(std::istreambuf_iterator<char>(in), {});
    in.close();
    const Journal::Opening refused = Journal::Open(Utf8(folder));
    EXPECT_EQ(refused.status, Journal::Status::MovedAside) << refused.error;
    std::ifstream moved(fs::path(refused.movedTo), std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(moved), {}) == later) << "the later journal was written";
}

// Another program's database at the journal's path, or a link there: moved aside as it was,
// never written, and a fresh journal takes the path.
TEST_F(JournalTest, AnotherProgramsDatabaseOrALinkThereIsMovedAsideUntouched) {
    const auto bytes = [](const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // One table with a row, in rollback-journal mode: opening it in WAL mode rewrites its header.
    const auto foreign = [&](const fs::path& file) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(Utf8(file).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=DELETE; CREATE TABLE parcels(code TEXT); INSERT INTO parcels VALUES('P-1')",
                               nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        return bytes(file);
    };
    const auto opensFresh = [](const std::string& folder) {
        Journal::Opening opening = Journal::Open(folder);
        EXPECT_EQ(opening.status, Journal::Status::MovedAside) << opening.error;
        if (!opening.journal) return opening;
        opening.journal->SetUnit(2);
        EXPECT_TRUE(opening.journal->Commit()) << opening.journal->Error();
        EXPECT_EQ(fs::symlink_status(opening.path).type(), fs::file_type::regular);
        return opening;
    };

    const std::string own = Folder("own");
    fs::create_directories(own);
    const std::string before = foreign(fs::path(own) / journal::kFileName);
    const Journal::Opening moved = opensFresh(own);
    EXPECT_EQ(fs::symlink_status(moved.movedTo).type(), fs::file_type::regular);
    EXPECT_TRUE(bytes(moved.movedTo) == before) << "the moved-aside database was written";

#ifdef _WIN32
    GTEST_SKIP() << "a link needs a privilege on Windows";
#else
    const std::string linked = Folder("linked");
    fs::create_directories(linked);
    const fs::path elsewhere = dir_ / "elsewhere.sqlite3";
    const std::string target = foreign(elsewhere);
    fs::create_symlink(elsewhere, fs::path(linked) / journal::kFileName);
    Journal::Opening link = opensFresh(linked);
    EXPECT_TRUE(fs::is_symlink(link.movedTo));
    EXPECT_EQ(fs::read_symlink(link.movedTo), elsewhere);
    EXPECT_TRUE(bytes(elsewhere) == target) << "the database the link points to was written";
    link.journal.reset();
    // (a link on the way to the folder is the user's own: the journal opens through it)
    fs::create_directory_symlink(linked, dir_ / "via");
    const Journal::Opening through = Journal::Open(Utf8(dir_ / "via"));
    EXPECT_EQ(through.status, Journal::Status::Opened) << through.error;
    EXPECT_TRUE(through.journal && through.journal->Unit() == 2);
#endif
}

}  // namespace

// The program again as a second process, when a test started it so (InChildProcess).
int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--journal-child") return ChildWork(argv[2], std::atol(argv[3]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
