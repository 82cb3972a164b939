// Display-unit conversion, the progress dialog and the export of the table to a workbook, through
// the window: its unit buttons, its Save button, its progress dialog.
#include "CPesavoDlg.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/QuietScale.h"
#include "../support/Window.h"
#include "CProgressDlg.h"

#include <QApplication>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <random>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;


class UnitExportTest : public ::testing::Test, public Prompts {
protected:
    ProgramFolder folder{"units"};
    QuietScale scale{folder};
    std::mutex mutex;
    QStringList boxes;
    QString savePath;
    int dialogs = 0;
    std::unique_ptr<CPesavoDlg> dlg;

    void SetUp() override {
        folder.WriteSettings("\\English.ini", "English");
        dlg = std::make_unique<CPesavoDlg>(nullptr, this, folder.Places());
        dlg->OnInitDialog();
        ASSERT_TRUE(scale.Connect(*dlg));
    }
    void TearDown() override { dlg.reset(); }
    // The operator: every box recorded and answered OK, the save dialog answered with savePath.
    int Answer(const CMyMsg::Showing& s) override {
        std::lock_guard lock(mutex);
        boxes << s.text;
        return CMyMsg::IdOk;
    }
    QString ChooseSaveFile(const QString& initial) override {
        ++dialogs;
        EXPECT_TRUE(initial.startsWith("TarnobelDataFile-") && initial.endsWith(".xls")) << initial.toStdString();
        return savePath;
    }
    void Feed(const Bytes& b) { dlg->GetDesk().OnSerialData(b.data(), b.size()); }
    // The operator's click on a unit button, and the conversion's end.
    void SwitchTo(int unit) {
        Button(*dlg, CPesavoDlg::IDC_UNIT_KG + unit)->click();
        ASSERT_TRUE(RunUntil([&] { return !dlg->GetDesk().Busy() && dlg->GetDesk().Unit() == unit; }, 30s));
    }
    // The operator's Save, and its end (or the box that says it failed).
    void Save() {
        Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
        RunUntil([&] { return !dlg->GetDesk().Busy(); }, 30s);
    }
    QString Cell(int row, int column) { return ::Cell(*dlg, row, column); }
    QString Data(int row) { return Cell(row, MeasurementModel::Data); }
    QString Unit(int row) { return Cell(row, MeasurementModel::Unit); }
    QString Text(const char16_t* section, const char16_t* key) { return LanguageText(*dlg, section, key); }
    int Rows() { return dlg->Model().rowCount(); }
    const weighing::Reading& Reading(int row) { return dlg->Model().Table().ReadingAt(static_cast<std::size_t>(row)); }
    // A frame of `count` hundredths, negative when asked; check byte included.
    static Bytes Frame(std::uint32_t count, bool negative = false, std::uint8_t decimals = 0x04) {
        Bytes f = {0x5F, static_cast<std::uint8_t>((negative ? 0x40 : 0) | decimals), static_cast<std::uint8_t>(count >> 16),
                   static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
        f.push_back(static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]));
        return f;
    }
};

const Bytes kBad = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x00};
const Bytes kOverweight = {0x3F, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST_F(UnitExportTest, EveryRowFollowsTheUnitAndSpecialRowsKeepTheirTexts) {
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});  // 123.4 kg
    Feed(Frame(1234, true));                     // -12.34 kg
    Feed(kOverweight);
    Feed(kBad);
    Feed(kBad);                                  // error row
    Feed(Frame(0, false, 0x02));                 // a real empty platform: 0.0 kg
    ASSERT_EQ(Rows(), 5);
    const QString over = Text(u"ListCtrl_Header", u"Overweight"), error = Text(u"ListCtrl_Header", u"Error_EX");

    SwitchTo(weighing::kLb);
    EXPECT_EQ(Data(0), "271.9");
    EXPECT_EQ(Data(1), "-27.19");
    EXPECT_EQ(Data(2), over);
    EXPECT_EQ(Data(3), error);
    EXPECT_EQ(Data(4), "0.0");
    for (int r = 0; r < 5; ++r) EXPECT_EQ(Unit(r), "LB") << r;

    SwitchTo(weighing::kLbOz);
    EXPECT_EQ(Data(0), "272:0.3");
    EXPECT_EQ(Data(1), "-27:3.2");
    EXPECT_EQ(Data(2), over);
    EXPECT_EQ(Unit(3), "LB:OZ");

    SwitchTo(weighing::kKg);
    EXPECT_EQ(Data(0), "123.4");
    EXPECT_EQ(Data(1), "-12.34");
    EXPECT_EQ(Data(4), "0.0");
    EXPECT_EQ(Unit(4), "KG");

    // The current unit again: nothing runs.
    dlg->OnUnitKg();
    EXPECT_FALSE(dlg->GetDesk().Busy());
}

TEST_F(UnitExportTest, AnEmptyTableConvertsAndTakesTheUnit) {
    SwitchTo(weighing::kLbOz);
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});
    EXPECT_EQ(Data(0), "272:0.3");
    EXPECT_EQ(Unit(0), "LB:OZ");
}

TEST_F(UnitExportTest, FramesArrivingDuringAConversionEndInTheNewUnit) {
    for (int i = 0; i < 20000; ++i) Feed(Frame(static_cast<std::uint32_t>(100 + i)));
    // Frames keep arriving while the conversion's progress dialog shows.
    int fed = 0;
    dlg->OnUnitLb();
    while (dlg->GetDesk().Busy()) {
        if (fed < 50) Feed(Frame(777)), ++fed;
        QApplication::processEvents();
    }
    EXPECT_GT(fed, 0);
    for (int r = 0; r < Rows(); ++r) {
        ASSERT_EQ(Unit(r), "LB") << r;
        ASSERT_EQ(Data(r), QString::fromLatin1(weighing::WeightText(Reading(r).kg, Reading(r).decimals, 1)))
            << r;
    }
}

TEST_F(UnitExportTest, SavedFileHoldsTheTableAsShown) {
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});
    Feed(kOverweight);
    Feed(Frame(1234, true));
    SwitchTo(weighing::kLb);
    savePath = QString::fromStdString(folder.File("three.xls"));
    Save();
    EXPECT_EQ(Rows(), 0);
    const QStringList lines = ReadBack(savePath).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << ReadBack(savePath).toStdString();
    QStringList titles;
    for (int c = 0; c < MeasurementModel::kColumns; ++c) titles << dlg->Model().Title(c);
    EXPECT_EQ(lines[0], titles.join('|'));
    EXPECT_TRUE(lines[1].startsWith("       1|271.9|LB|")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("       2|" + Text(u"ListCtrl_Header", u"Overweight") + "|LB|"));
    EXPECT_TRUE(lines[3].startsWith("       3|-27.19|LB|"));
    EXPECT_EQ(lines[4], "bold");

    // An empty table is not saved.
    dialogs = 0;
    Save();
    QApplication::processEvents();
    EXPECT_EQ(dialogs, 0);
}

TEST_F(UnitExportTest, CancelAndFailureKeepEveryRow) {
    for (int i = 0; i < 3; ++i) Feed(Frame(500));
    savePath.clear();  // the operator cancels
    Save();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(Rows(), 3);
    EXPECT_TRUE(boxes.isEmpty());

    savePath = QString::fromStdString(folder.File("no-such-folder/table.xls"));
    Save();
    ASSERT_TRUE(RunUntil([&] { return !boxes.isEmpty(); }, 5s));
    // Said in words, with the system's text and the number only beside them.
    EXPECT_TRUE(boxes.front().startsWith(Text(u"Message", u"Save_error") + "\n" + Text(u"Message", u"Error_Path_Not_Found") +
                                         " (No such file or directory, error 2)"))
        << boxes.front().toStdString();
    EXPECT_EQ(Rows(), 3);
    EXPECT_FALSE(std::filesystem::exists(savePath.toStdString()));
}

TEST_F(UnitExportTest, AFullDiskIsReportedAndKeepsEveryRow) {
    const std::string small = folder.File("small");
    std::filesystem::create_directories(small);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): disk-full case not run";
    for (int i = 0; i < 3000; ++i) Feed(Frame(static_cast<std::uint32_t>(i)));
    savePath = QString::fromStdString(small + "/table.xls");
    Save();
    ASSERT_TRUE(RunUntil([&] { return !boxes.isEmpty(); }, 5s));
    EXPECT_TRUE(boxes.front().startsWith(Text(u"Message", u"Save_error") + "\n" + Text(u"Message", u"Error_Disk_Full")))
        << boxes.front().toStdString();
    EXPECT_EQ(Rows(), 3000);
    EXPECT_FALSE(std::filesystem::exists(savePath.toStdString()));
    std::system(("umount '" + small + "'").c_str());
}

TEST_F(UnitExportTest, RowsArrivingDuringAnExportSurviveIt) {
    const int before = 20000;
    for (int i = 0; i < before; ++i) Feed(Frame(static_cast<std::uint32_t>(100 + i)));
    int fed = 0;
    savePath = QString::fromStdString(folder.File("busy.xls"));
    dlg->OnSaveTable();
    while (dlg->GetDesk().Busy()) {
        if (fed < 30) Feed(Frame(999)), ++fed;
        QApplication::processEvents();
    }
    const int inFile = static_cast<int>(ReadBack(savePath).split('\n', Qt::SkipEmptyParts).size()) - 2;
    EXPECT_GE(inFile, before);
    EXPECT_EQ(inFile + Rows(), before + fed);  // every row once: in the file or still in the table
    for (int r = 0; r < Rows(); ++r) {
        EXPECT_EQ(Cell(r, MeasurementModel::Number), QString::asprintf("%8d", r + 1));
        EXPECT_EQ(Data(r), "9.99");
        EXPECT_DOUBLE_EQ(Reading(r).kg, 9.99);
    }
}

// Random batches of 1 to 1024 bytes, connected and then disconnected: no crash and nothing
// outside the buffers, in the desk or in the list that shows its rows (this suite also runs
// under the address sanitizer).
TEST_F(UnitExportTest, RandomBatchesNeverBreakTheWindow) {
    std::mt19937 random(11);
    Bytes batch;
    for (int i = 0; i < 20000; ++i) {
        if (i == 16000 && dlg->GetDesk().Connected()) Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
        batch.resize(1 + random() % (i % 10 == 0 ? 1024 : 12));
        for (auto& b : batch) b = static_cast<std::uint8_t>(random());
        if (i % 3 == 0) batch[0] = 0x5F;
        Feed(batch);
        if (i % 100 == 0) QApplication::processEvents();
    }
    EXPECT_LE(Rows(), 65001);
}

// The progress dialog follows its job without holding the window, never beyond full, and goes
// at the job's end.
TEST(ProgressDlgTest, FollowsItsJobClampedAndGoesAtTheEnd) {
    CProgressDlg progress;
    std::atomic<int> value{1200000};
    progress.Start("caption", "display", value);
    EXPECT_TRUE(progress.isVisible());
    EXPECT_EQ(progress.windowTitle(), "caption");
    EXPECT_TRUE(RunUntil([&] { return progress.Position() == CProgressDlg::kFull; }, 5s));
    value = 250000;
    EXPECT_TRUE(RunUntil([&] { return progress.Position() == 250000; }, 5s));
    progress.Finish();
    EXPECT_FALSE(progress.isVisible());
    EXPECT_EQ(progress.Position(), CProgressDlg::kFull);
}

}  // namespace
