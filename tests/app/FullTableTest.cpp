// A full day at the packing desk in a few seconds: the simulated scale sends each weighing as
// soon as the previous one is answered, over a pseudo-terminal, through the whole program. The
// operator switches units twice and saves once in between; near the row limit they save again
// and take their time in the file dialog while weighings keep coming, so the table fills during
// that save. Every frame must end up in exactly one file, once and in order, and be answered
// once. And when the automatic save at the limit cannot be written, nothing goes.
#include "CPesavoDlg.h"
#include "FrameDecoder.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/NumberedFrames.h"
#include "../support/ProgramFolder.h"
#include "../support/ReadOnlyFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using namespace std::chrono_literals;

// The data rows of a saved workbook, cells split (header and format line left out).
std::vector<QStringList> DataRows(const std::string& path) {
    QStringList lines = ReadBack(QString::fromStdString(path)).split('\n', Qt::SkipEmptyParts);
    std::vector<QStringList> rows;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) rows.push_back(lines[i].split('|'));
    return rows;
}

// The workbooks the automatic save wrote into the program's folder (under the default name).
std::vector<std::string> AutomaticSaves(const ProgramFolder& folder) {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path()))
        if (e.path().filename().string().rfind("TarnobelDataFile-", 0) == 0) files.push_back(e.path().string());
    return files;
}

TEST(FullTableTest, EveryFrameIsSavedOnceWhileTheOperatorSwitchesUnitsAndSavesUpToTheLimit) {
    ProgramFolder folder("full");
    Boxes boxes;  // every question answered No
    constexpr int kScripted = 100000;  // more than a full table and the rows saved before it
    folder.WriteFile("frames.txt", NumberedFramesScript(kScripted));
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    const std::string firstPath = folder.File("first.xls"), secondPath = folder.File("second.xls");
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    auto rows = [&] { return dlg->Model().rowCount(); };
    // The second save's file dialog stays open until the table has filled up behind it.
    int rowsAtSecondSave = -1;
    bool fullDuringDialog = false, autoSaveDuringDialog = false, secondChosen = false;
    boxes.onSave = [&](const QString&) {
        if (rowsAtSecondSave < 0) return QString::fromStdString(firstPath);
        secondChosen = true;
        fullDuringDialog = RunUntil([&] { return dlg->GetDesk().Full(); }, 120s);
        RunUntil([&] { return scale.Count("rx 3A") > 0; }, 5s);
        autoSaveDuringDialog = rows() != 65001;
        return QString::fromStdString(secondPath);
    };
    dlg->OnInitDialog();
    Ports(*dlg)->setCurrentIndex(1);

    const auto start = std::chrono::steady_clock::now();
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return rows() >= 10000; }, 120s));
    Button(*dlg, CPesavoDlg::IDC_UNIT_LB)->click();  // frames keep coming while the table converts
    ASSERT_TRUE(RunUntil([&] { return rows() >= 25000; }, 120s));
    Button(*dlg, CPesavoDlg::IDC_SAVE)->click();  // ...and while it is saved: the saved rows leave the table
    ASSERT_TRUE(RunUntil([&] { return !dlg->GetDesk().Busy() && std::filesystem::exists(firstPath); }, 60s));
    ASSERT_TRUE(RunUntil([&] { return rows() >= 20000; }, 120s));
    Button(*dlg, CPesavoDlg::IDC_UNIT_LBOZ)->click();
    ASSERT_TRUE(RunUntil([&] { return rows() >= 64000; }, 600s)) << rows() << " rows";
    rowsAtSecondSave = rows();
    Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
    ASSERT_TRUE(RunUntil([&] { return secondChosen; }, 200s));
    EXPECT_TRUE(fullDuringDialog);
    EXPECT_FALSE(autoSaveDuringDialog);  // held until the operator's save has ended
    const QString dataError = LanguageText(*dlg, u"Message", u"Data_Error");
    ASSERT_TRUE(RunUntil([&] { return boxes.Shown(dataError); }, 60s));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<std::string> autoSaves = AutomaticSaves(folder);
    ASSERT_EQ(autoSaves.size(), 1u);
    const std::string autoPath = autoSaves.front();
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(boxes.Count(dataError), 1);

    const std::vector<QStringList> first = DataRows(firstPath), second = DataRows(secondPath), automatic = DataRows(autoPath);
    const int answered = scale.Count("rx 9F");
    EXPECT_EQ(static_cast<int>(second.size()), rowsAtSecondSave);  // what the table held at the press
    EXPECT_EQ(static_cast<int>(second.size() + automatic.size()), 65001);
    EXPECT_EQ(static_cast<int>(first.size() + second.size() + automatic.size()), answered);  // one row per answered frame
    EXPECT_EQ(scale.Count("rx F9"), 0);
    const std::vector<std::string> lines = scale.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "rx 9F");  // the last frame's answer, then
    EXPECT_EQ(lines.back(), "rx 3A");             // the disconnect notice
    int frame = 0, wrong = 0;
    for (const auto* file : {&first, &second, &automatic}) {
        for (std::size_t r = 0; r < file->size(); ++r, ++frame) {
            const QStringList& cells = (*file)[r];
            const bool ok = ShowsNumberedFrame(cells, frame) && cells[0] == QString::asprintf("%8d", static_cast<int>(r) + 1);
            if (!ok && ++wrong <= 5) ADD_FAILURE() << "frame " << frame << ": " << cells.join('|').toStdString();
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_NE(UnitOf(first.back()[2]), weighing::kKg);  // the first save came after the first switch
    EXPECT_EQ(UnitOf(automatic.back()[2]), weighing::kLbOz);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double perSecond = answered / seconds;
    std::printf("load: %d frames in %.1f s: %.0f frames/s through the whole program, peak memory %ld MiB\n", answered,
                seconds, perSecond, usage.ru_maxrss / 1024);
    ::testing::Test::RecordProperty("frames_per_second", static_cast<int>(perSecond));
    ::testing::Test::RecordProperty("peak_memory_mib", static_cast<int>(usage.ru_maxrss / 1024));

    // The emptied table takes up the same scale again.
    Button(*dlg, CPesavoDlg::IDC_CLEAR)->click();
    EXPECT_TRUE(RunUntil([&] { return dlg->GetDesk().Connected(); }, 5s));
    EXPECT_EQ(scale.Count("rx 5A"), 2);
    dlg.reset();
}

TEST(FullTableTest, AFailedAutomaticSaveKeepsEveryRowThroughClearAndReconnection) {
    ProgramFolder folder("full-readonly");
    Boxes boxes;  // every question answered No
    ScaleSim scale({"--count", "0", "--interval", "0"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    ReadOnlyFolder readOnly(folder.Path());
    if (!readOnly.Ok()) GTEST_SKIP() << "cannot mount the folder read-only here (needs root)";
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->OnInitDialog();
    Ports(*dlg)->setCurrentIndex(1);
    auto rows = [&] { return dlg->Model().rowCount(); };
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return dlg->GetDesk().Full(); }, 600s)) << rows() << " rows";
    // The automatic save into the program's folder fails: said once, and only that.
    const QString failed = LanguageText(*dlg, u"Message", u"Save_error") + "\n" + LanguageText(*dlg, u"Message", u"Error_Read_Only");
    ASSERT_TRUE(RunUntil([&] { return boxes.CountStartingWith(failed) == 1; }, 60s));
    EXPECT_FALSE(boxes.Shown(LanguageText(*dlg, u"Message", u"Data_Error")));
    EXPECT_EQ(rows(), 65001);
    EXPECT_TRUE(AutomaticSaves(folder).empty());

    // Clear answered No keeps every row, and a full table does not take up the scale.
    Button(*dlg, CPesavoDlg::IDC_CLEAR)->click();
    EXPECT_TRUE(RunUntil([&] { return boxes.Shown(LanguageText(*dlg, u"Message", u"Clear_Data")); }, 5s));
    QApplication::processEvents();
    EXPECT_EQ(rows(), 65001);
    EXPECT_EQ(scale.Count("rx 5A"), 1);

    // Saved elsewhere by hand: every row is in that file.
    const std::string elsewhere = std::filesystem::temp_directory_path() / ("pesavo-full-" + std::to_string(getpid()) + ".xls");
    boxes.savePath = QString::fromStdString(elsewhere);
    Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
    ASSERT_TRUE(RunUntil([&] { return rows() == 0; }, 60s));
    EXPECT_EQ(SheetRows(elsewhere), 65002);
    std::filesystem::remove(elsewhere);

    // Connected again by hand: the table takes rows again, and Clear answered No keeps them on
    // the live line.
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return dlg->GetDesk().Connected() && rows() >= 20; }, 10s));
    EXPECT_FALSE(dlg->GetDesk().Full());
    Button(*dlg, CPesavoDlg::IDC_CLEAR)->click();
    EXPECT_TRUE(RunUntil([&] { return boxes.Count(LanguageText(*dlg, u"Message", u"Clear_Data")) == 2; }, 5s));
    QApplication::processEvents();
    EXPECT_GE(rows(), 20);
    EXPECT_TRUE(dlg->GetDesk().Connected());
    const int before = rows();
    EXPECT_TRUE(RunUntil([&] { return rows() > before; }, 5s));  // weighings still arrive
    EXPECT_EQ(scale.Count("rx 5A"), 2);
    dlg.reset();
}

}  // namespace
