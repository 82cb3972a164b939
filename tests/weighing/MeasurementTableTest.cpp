// The table's rows and the rules of whole-table jobs and of the row limit, without any window.
#include "MeasurementTable.h"
#include "TableRules.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace weighing;

std::u16string Texts(int i, int column) { return std::u16string(static_cast<std::size_t>(i % 13), static_cast<char16_t>(u'a' + column)); }

// Rows rewritten at every length, a save's snapshot, rows arriving after it, then removal of
// exactly the snapshot's rows: what stays is every later row, in order, with its own data,
// numbered from 1 again; the snapshot keeps the texts it was taken with.
TEST(MeasurementTableTest, ASaveRemovesExactlyTheRowsItWroteWhateverCameMeanwhile) {
    MeasurementTable table;
    std::vector<std::array<std::u16string, kColumns>> expected;
    auto append = [&](int i) {
        std::array<std::u16string, kColumns> texts;
        for (int c = 0; c < kColumns; ++c) texts[static_cast<std::size_t>(c)] = Texts(i, c);
        texts[kNumber] = NumberText(expected.size());
        table.Append({texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]}, {RowKind::Weight, i * 0.5, static_cast<std::int8_t>(1 + i % 3)});
        expected.push_back(texts);
    };
    for (int i = 0; i < 3000; ++i) append(i);
    std::mt19937 random(3);
    for (int round = 0; round < 20000; ++round) {  // enough to compact the pool several times
        const std::size_t row = random() % expected.size();
        const int column = 1 + static_cast<int>(random() % (kColumns - 1));
        expected[row][static_cast<std::size_t>(column)].assign(random() % 20, static_cast<char16_t>(u'A' + round % 26));
        table.SetText(row, column, expected[row][static_cast<std::size_t>(column)]);
    }
    const TableSnapshot saved = table.Snapshot();
    ASSERT_EQ(saved.size(), 3000u);
    for (int i = 3000; i < 3100; ++i) append(i);  // weighings during the save
    table.SetText(0, kData, u"changed after the snapshot");
    EXPECT_EQ(saved.Text(0, kData), expected[0][kData]);
    for (std::size_t r = 0; r < saved.size(); ++r)
        for (int c = 0; c < kColumns; ++c) ASSERT_EQ(saved.Text(r, c), expected[r][static_cast<std::size_t>(c)]) << r << "/" << c;

    const auto runs = table.RunsOf(saved.Ids());
    ASSERT_EQ(runs.size(), 1u);
    table.Erase(runs[0].first, runs[0].second);
    table.Renumber(runs[0].first);
    ASSERT_EQ(table.size(), 100u);
    for (std::size_t r = 0; r < table.size(); ++r) {
        const int i = 3000 + static_cast<int>(r);
        EXPECT_EQ(table.Text(r, kNumber), NumberText(r));
        for (int c = 1; c < kColumns; ++c) ASSERT_EQ(table.Text(r, c), Texts(i, c)) << r;
        EXPECT_DOUBLE_EQ(table.ReadingAt(r).kg, i * 0.5);
        EXPECT_EQ(table.ReadingAt(r).decimals, 1 + i % 3);
    }
    // Removed rows are never found again, and identities never repeat after a clear.
    EXPECT_TRUE(table.RunsOf(saved.Ids()).empty());
    const RowId last = table.Id(table.size() - 1);
    table.Clear();
    EXPECT_GT(table.Append({}, {}), last);
    EXPECT_EQ(NumberText(99), u"     100");
}

// Rows scattered between others come out as runs, last first, so removing them in turn never
// moves a run still to be removed.
TEST(MeasurementTableTest, ScatteredRowsAreRemovedRunByRun) {
    MeasurementTable table;
    std::vector<RowId> ids;
    for (int i = 0; i < 10; ++i) ids.push_back(table.Append({NumberText(static_cast<std::size_t>(i)), u"x"}, {}));
    const std::vector<RowId> chosen = {ids[1], ids[2], ids[5], ids[9], 12345};
    const auto runs = table.RunsOf(chosen);
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& [first, count] : runs) table.Erase(first, count);
    ASSERT_EQ(table.size(), 6u);
    const RowId kept[] = {ids[0], ids[3], ids[4], ids[6], ids[7], ids[8]};
    for (std::size_t r = 0; r < 6; ++r) EXPECT_EQ(table.Id(r), kept[r]);
}

TEST(TableRulesTest, OneJobAtATimeAndWhatWaitsForIt) {
    TableRules rules;
    EXPECT_TRUE(rules.Begin(TableJob::Save));
    EXPECT_FALSE(rules.Begin(TableJob::Conversion));
    EXPECT_FALSE(rules.Begin(TableJob::AutomaticSave));
    rules.Hold(TableRules::kClose);
    rules.Hold(TableRules::kDisconnect);
    EXPECT_TRUE(rules.RowAdded(65000));  // the table fills while the save runs
    EXPECT_EQ(rules.TakeNext(), TableRules::kNothing);  // nothing runs inside the job
    rules.End();
    EXPECT_EQ(rules.TakeNext(), TableRules::kAutomaticSave);
    EXPECT_EQ(rules.TakeNext(), TableRules::kDisconnect);
    EXPECT_EQ(rules.TakeNext(), TableRules::kClose);
    EXPECT_EQ(rules.TakeNext(), TableRules::kNothing);
    EXPECT_FALSE(rules.Begin(TableJob::None));
}

TEST(TableRulesTest, TheRowLimitAndClear) {
    TableRules rules;
    EXPECT_FALSE(rules.RowAdded(64999));
    EXPECT_FALSE(rules.Full());
    EXPECT_FALSE(rules.TakesUpTheScale(0));  // Clear never reconnects a table that did not fill up

    EXPECT_TRUE(rules.RowAdded(65000));
    EXPECT_TRUE(rules.Full());
    // The automatic save failed and Clear was answered No: the full table stays closed. Once it
    // is empty (saved, or cleared with Yes) it takes up the scale again.
    EXPECT_FALSE(rules.TakesUpTheScale(65001));
    EXPECT_TRUE(rules.TakesUpTheScale(0));
    // Any new connection ends the full state: later rows are the operator's.
    rules.NewConnection();
    EXPECT_FALSE(rules.Full());
    EXPECT_FALSE(rules.TakesUpTheScale(0));
}

}  // namespace
