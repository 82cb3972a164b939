// The journal on its own: what a table does reaches the disk, what was never committed does
// not, one process holds it, and a damaged, unwritable or full journal is reported, never lost.
#include "Journal.h"
#include "../support/ReadOnlyFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using journal::Journal;

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pesavo-journal-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Folder(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

weighing::RowTexts Texts(const std::u16string& number, const std::u16string& data, const std::u16string& unit) {
    static const std::u16string duration = u"00:00:01", time = u"14:05:09 12/07/2026", explan = u"数据校验错误 📦";
    return {number, data, unit, duration, time, explan};
}

// Runs `work` in a child process that ends without any orderly close, as a killed program
// does; returns the child's exit code.
template <typename Work>
int InProcessThatDies(Work work) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(work());
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(JournalTest, KeepsWhatWasCommittedAndIsHeldByOneProcess) {
    const std::string folder = Folder("data/pesavo");  // created on the way
    {
        Journal::Opening holder = Journal::Open(folder);
        ASSERT_EQ(holder.status, Journal::Status::Opened) << holder.error;
        EXPECT_TRUE(holder.journal->Rows().empty());
        // A second Pesavo is told the journal is in use, and mixes nothing in.
        EXPECT_EQ(InProcessThatDies([&] {
                      const Journal::Opening second = Journal::Open(folder);
                      return second.status == Journal::Status::InUse && !second.journal ? 0 : 1;
                  }),
                  0);
    }
    const std::uint8_t frame[6] = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};
    const int died = InProcessThatDies([&] {
        Journal::Opening opening = Journal::Open(folder);
        if (!opening.journal) return 2;
        Journal& j = *opening.journal;
        weighing::MeasurementTable table;
        table.SetLog(&j);
        j.NextRowFrom(frame);
        const weighing::RowId first = table.Append(Texts(u"       1", u"123.4", u"KG"), {weighing::RowKind::Weight, 123.4, 355});
        table.Append(Texts(u"       2", u"Error", u"KG"), {weighing::RowKind::Error, 0, 0});
        table.Append(Texts(u"       3", u"5.0", u"KG"), {weighing::RowKind::Weight, 5.0, 355});
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
        ::_exit(0);  // no destructor runs: nothing is closed or committed
    });
    ASSERT_EQ(died, 0);
    Journal::Opening again = Journal::Open(Folder("data/pesavo"));
    ASSERT_EQ(again.status, Journal::Status::Opened) << again.error;
    const auto rows = again.journal->Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].texts[weighing::kData], u"272.0");
    EXPECT_EQ(rows[0].texts[weighing::kUnit], u"LB");
    EXPECT_EQ(rows[0].texts[weighing::kExplan], u"数据校验错误 📦");
    EXPECT_EQ(rows[0].reading.widthCode, 355);
    EXPECT_TRUE(rows[0].answered);
    EXPECT_EQ(rows[0].frame[4], 0xD2);
    EXPECT_EQ(rows[1].texts[weighing::kData], u"5.0");
    EXPECT_FALSE(rows[1].answered);
    EXPECT_EQ(rows[2].texts[weighing::kData], u"9.9");
    EXPECT_EQ(again.journal->Unit(), 1);
    EXPECT_GT(rows[0].at, 0);
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
}

}  // namespace
