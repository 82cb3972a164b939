// Display-unit conversion, the progress dialog and the export of the table to a workbook.
#include "CPesavoDlg.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/QuietScale.h"

#include <QApplication>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

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
    void Feed(const Bytes& b) { dlg->OnSerialData(b.data(), static_cast<int>(b.size())); }
    QString Cell(int row, int column) { return Q(dlg->Model().Text(row, column)); }
    QString Data(int row) { return Cell(row, MeasurementModel::Data); }
    QString Unit(int row) { return Cell(row, MeasurementModel::Unit); }
    QString Text(const char16_t* section, const char16_t* key) { return dlg->ReadLanguageText(section, key); }
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

TEST_F(UnitExportTest, EveryRowFollowsTheUnitAndSpecialRowsKeepTheirTexts) {
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});  // 123.4 kg
    Feed(Frame(1234, true));                     // -12.34 kg
    Feed({0x3F});                                // overweight
    Feed(kBad);
    Feed(kBad);                                  // error row
    Feed(Frame(0, false, 0x02));                 // a real empty platform: 0.0 kg
    ASSERT_EQ(Rows(), 5);
    const QString over = Text(u"ListCtrl_Header", u"Overweight"), error = Text(u"ListCtrl_Header", u"Error_EX");

    dlg->OnUnitLb();
    EXPECT_EQ(dlg->m_nUnit, 1);
    EXPECT_EQ(Data(0), "271.9");
    EXPECT_EQ(Data(1), "-27.19");
    EXPECT_EQ(Data(2), over);
    EXPECT_EQ(Data(3), error);
    EXPECT_EQ(Data(4), "0.0");
    for (int r = 0; r < 5; ++r) EXPECT_EQ(Unit(r), "LB") << r;

    dlg->OnUnitLbOz();
    EXPECT_EQ(Data(0), "272:0.3");
    EXPECT_EQ(Data(1), "-27:3.2");
    EXPECT_EQ(Data(2), over);
    EXPECT_EQ(Unit(3), "LB:OZ");

    dlg->OnUnitKg();
    EXPECT_EQ(Data(0), "123.4");
    EXPECT_EQ(Data(1), "-12.34");
    EXPECT_EQ(Data(4), "0.0");
    EXPECT_EQ(Unit(4), "KG");

    // The current unit again: nothing runs.
    g_nProgress = 12345;
    dlg->OnUnitKg();
    EXPECT_EQ(g_nProgress.load(), 12345);
}

TEST_F(UnitExportTest, AnEmptyTableConvertsAndTakesTheUnit) {
    dlg->OnUnitLbOz();
    EXPECT_EQ(dlg->m_nUnit, 2);
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});
    EXPECT_EQ(Data(0), "272:0.3");
    EXPECT_EQ(Unit(0), "LB:OZ");
}

TEST_F(UnitExportTest, FramesArrivingDuringAConversionEndInTheNewUnit) {
    for (int i = 0; i < 20000; ++i) Feed(Frame(static_cast<std::uint32_t>(100 + i)));
    // Frames keep arriving while the conversion's progress dialog shows.
    QTimer feeder;
    int fed = 0;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        if (fed < 50) Feed(Frame(777)), ++fed;
    });
    feeder.start(0);
    dlg->OnUnitLb();
    feeder.stop();
    EXPECT_GT(fed, 0);
    for (int r = 0; r < Rows(); ++r) {
        ASSERT_EQ(Unit(r), "LB") << r;
        ASSERT_EQ(Data(r), QString::fromLatin1(weighing::WeightText(Reading(r).kg, Reading(r).widthCode, 1)))
            << r;
    }
}

TEST_F(UnitExportTest, SavedFileHoldsTheTableAsShown) {
    Feed({0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B});
    Feed({0x3F});
    Feed(Frame(1234, true));
    dlg->OnUnitLb();
    savePath = QString::fromStdString(folder.File("three.xls"));
    dlg->OnSaveTable();
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
    dlg->OnSaveTable();
    EXPECT_EQ(dialogs, 0);
}

TEST_F(UnitExportTest, CancelAndFailureKeepEveryRow) {
    for (int i = 0; i < 3; ++i) Feed(Frame(500));
    savePath.clear();  // the operator cancels
    EXPECT_FALSE(dlg->SaveTable(false));
    EXPECT_EQ(Rows(), 3);
    EXPECT_TRUE(boxes.isEmpty());

    savePath = QString::fromStdString(folder.File("no-such-folder/table.xls"));
    EXPECT_TRUE(dlg->SaveTable(false));
    QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 5000);
    EXPECT_EQ(boxes.front(), Text(u"Message", u"Save_error") + " \n\rerror: 2");  // ENOENT
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
    EXPECT_TRUE(dlg->SaveTable(false));
    QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 5000);
    EXPECT_EQ(boxes.front(), Text(u"Message", u"Save_error") + " \n\rerror: 28");  // ENOSPC
    EXPECT_EQ(Rows(), 3000);
    EXPECT_FALSE(std::filesystem::exists(savePath.toStdString()));
    std::system(("umount '" + small + "'").c_str());
}

TEST_F(UnitExportTest, RowsArrivingDuringAnExportSurviveIt) {
    const int before = 20000;
    for (int i = 0; i < before; ++i) Feed(Frame(static_cast<std::uint32_t>(100 + i)));
    QTimer feeder;
    int fed = 0;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        if (fed < 30) Feed(Frame(999)), ++fed;
    });
    feeder.start(0);
    savePath = QString::fromStdString(folder.File("busy.xls"));
    dlg->OnSaveTable();
    feeder.stop();
    const int inFile = static_cast<int>(ReadBack(savePath).split('\n', Qt::SkipEmptyParts).size()) - 2;
    EXPECT_GE(inFile, before);
    EXPECT_EQ(inFile + Rows(), before + fed);  // every row once: in the file or still in the table
    for (int r = 0; r < Rows(); ++r) {
        EXPECT_EQ(Cell(r, MeasurementModel::Number), QString::asprintf("%8d", r + 1));
        EXPECT_EQ(Data(r), "9.99");
        EXPECT_DOUBLE_EQ(Reading(r).kg, 9.99);
    }
}

TEST(ProgressDlgTest, FinishedBeforeTheFirstTickAndClamping) {
    CProgressDlg progress;
    progress.SetTexts("caption", "display");
    g_nProgress = -1;
    EXPECT_EQ(progress.DoModal(), 1);
    EXPECT_EQ(progress.Position(), CProgressDlg::kFull);
    EXPECT_EQ(progress.windowTitle(), "caption");

    g_nProgress = 1200000;
    int seen = -2, global = -2;
    QTimer::singleShot(100, [&] {
        seen = progress.Position();
        global = g_nProgress.load();
        g_nProgress = -1;
    });
    EXPECT_EQ(progress.DoModal(), 1);
    EXPECT_EQ(seen, CProgressDlg::kFull);
    EXPECT_EQ(global, CProgressDlg::kFull);
}

}  // namespace
