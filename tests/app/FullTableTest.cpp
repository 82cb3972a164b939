// A full day at the packing desk in a few seconds: the simulated scale sends each weighing as
// soon as the previous one is answered, over a pseudo-terminal, through the whole program. The
// operator switches units twice and saves once in between; the table then reaches its row limit,
// is saved automatically, and Clear connects again. Every frame must end up in exactly one file,
// once and in order, and be answered once.
#include "CPesavoDlg.h"
#include "FrameDecoder.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using namespace std::chrono_literals;

// The weighing sent as frame `i`: 1.000 to 9.999 kg in steps of a gram, so that a lost or
// repeated frame shifts the weight of every row after it.
std::array<std::uint8_t, 6> LoadFrame(int i) {
    const auto count = static_cast<std::uint32_t>(1000 + i % 9000);
    std::array<std::uint8_t, 6> f = {0x5F, 0x08, static_cast<std::uint8_t>(count >> 16),
                                     static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0};
    f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
    return f;
}

int UnitOf(const QString& text) {
    for (int unit : {weighing::kKg, weighing::kLb, weighing::kLbOz})
        if (text == QLatin1String(weighing::UnitText(unit))) return unit;
    return -1;
}

// The data rows of a saved workbook, cells split (header and format line left out).
std::vector<QStringList> DataRows(const std::string& path) {
    QStringList lines = ReadBack(QString::fromStdString(path)).split('\n', Qt::SkipEmptyParts);
    std::vector<QStringList> rows;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) rows.push_back(lines[i].split('|'));
    return rows;
}

TEST(FullTableTest, EveryFrameIsSavedOnceWhileTheOperatorSwitchesUnitsAndSaves) {
    ProgramFolder folder("full");
    CMyMsg::SetAnswerer([](const CMyMsg::Showing&) { return CMyMsg::IdNo; });
    constexpr int kScripted = 100000;  // more than a full table and the rows saved before it
    std::string script;
    script.reserve(kScripted * 18);
    for (int i = 0; i < kScripted; ++i) {
        char line[32];
        const auto f = LoadFrame(i);
        std::snprintf(line, sizeof line, "%02X %02X %02X %02X %02X %02X\n", f[0], f[1], f[2], f[3], f[4], f[5]);
        script += line;
    }
    folder.WriteFile("frames.txt", script);
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    const std::string manualPath = folder.File("manual.xls");
    CPesavoDlg::s_saveDialog = [&](const QString&) { return QString::fromStdString(manualPath); };
    auto dlg = std::make_unique<CPesavoDlg>();
    dlg->OnInitDialog();
    dlg->m_cmbPort->setCurrentIndex(1);
    auto rows = [&] { return dlg->Model().rowCount(); };

    const auto start = std::chrono::steady_clock::now();
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CONNECT))->click();
    ASSERT_TRUE(RunUntil([&] { return rows() >= 10000; }, 120s));
    dlg->OnUnitLb();  // frames keep coming while the table converts
    ASSERT_TRUE(RunUntil([&] { return rows() >= 25000; }, 120s));
    dlg->OnSaveTable();  // ...and while it is saved: the saved rows leave the table
    ASSERT_TRUE(std::filesystem::exists(manualPath));
    ASSERT_TRUE(RunUntil([&] { return rows() >= 20000; }, 120s));
    dlg->OnUnitLbOz();
    ASSERT_TRUE(RunUntil([&] { return dlg->m_bTableFull; }, 600s)) << rows() << " rows";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(scale.WaitForLine("rx 3A"));
    const std::string autoPath = dlg->m_strSavePath.toStdString();
    EXPECT_EQ(rows(), 0);

    const std::vector<QStringList> manual = DataRows(manualPath), automatic = DataRows(autoPath);
    const int answered = scale.Count("rx 9F");
    EXPECT_EQ(static_cast<int>(automatic.size()), 65001);
    EXPECT_EQ(static_cast<int>(manual.size() + automatic.size()), answered);  // one row per answered frame
    EXPECT_EQ(scale.Count("rx F9"), 0);
    EXPECT_EQ(scale.Lines().back(), "rx 3A");  // the disconnect notice comes last
    int frame = 0, wrong = 0;
    for (const auto* file : {&manual, &automatic}) {
        for (std::size_t r = 0; r < file->size(); ++r, ++frame) {
            const QStringList& cells = (*file)[r];
            const auto f = LoadFrame(frame);
            const weighing::Weighing w = weighing::DecodeWeight(f.data());
            const int unit = cells.size() > 2 ? UnitOf(cells[2]) : -1;
            const bool ok = cells.size() == MeasurementModel::kColumns && unit >= 0 &&
                            cells[0] == QString::asprintf("%8d", static_cast<int>(r) + 1) &&
                            cells[1] == QLatin1String(weighing::WeightText(w.kg, w.widthCode, unit).c_str());
            if (!ok && ++wrong <= 5) ADD_FAILURE() << "frame " << frame << ": " << cells.join('|').toStdString();
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_NE(UnitOf(manual.back()[2]), weighing::kKg);  // the save came after the first switch

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double perSecond = answered / seconds;
    std::printf("load: %d frames in %.1f s: %.0f frames/s through the whole program, peak memory %ld MiB\n", answered,
                seconds, perSecond, usage.ru_maxrss / 1024);
    ::testing::Test::RecordProperty("frames_per_second", static_cast<int>(perSecond));
    ::testing::Test::RecordProperty("peak_memory_mib", static_cast<int>(usage.ru_maxrss / 1024));

    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_TRUE(RunUntil([&] { return dlg->m_bConnected.load(); }, 5s));
    EXPECT_EQ(scale.Count("rx 5A"), 2);
    dlg.reset();
    CMyMsg::SetAnswerer({});
    CPesavoDlg::s_saveDialog = {};
}

}  // namespace
