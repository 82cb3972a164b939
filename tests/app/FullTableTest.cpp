// A full table end to end: 65,001 weighings from the simulated scale over a pseudo-terminal reach
// the row limit, are saved automatically, and Clear connects again.
#include "CPesavoDlg.h"
#include "../support/ProgramFolder.h"
#include "../support/EventLoop.h"
#include "../support/ScaleSim.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

TEST(FullTableTest, AFullTableIsSavedAndClearConnectsAgain) {
    ProgramFolder folder("full");
    CMyMsg::SetAnswerer([](const CMyMsg::Showing&) { return CMyMsg::IdNo; });
    ScaleSim scale({"--count", "65001", "--interval", "0"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    auto dlg = std::make_unique<CPesavoDlg>();
    dlg->OnInitDialog();
    dlg->m_cmbPort->setCurrentIndex(1);
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CONNECT))->click();

    ASSERT_TRUE(RunUntil([&] { return dlg->m_bTableFull; }, 600s)) << dlg->Model().rowCount() << " rows";
    EXPECT_TRUE(scale.WaitForLine("rx 3A"));
    EXPECT_EQ(scale.Count("rx 9F"), 65001);  // one answer for every weighing...
    EXPECT_EQ(scale.Lines().back(), "rx 3A");  // ...then the disconnect notice
    EXPECT_EQ(dlg->Model().rowCount(), 0);
    const std::string saved = dlg->m_strSavePath.toStdString();
    EXPECT_EQ(std::filesystem::path(saved).parent_path(), std::filesystem::path(folder.Path()).parent_path());
    EXPECT_EQ(SheetRows(saved), 65002);  // the titles and every weighing

    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_TRUE(RunUntil([&] { return dlg->m_bConnected.load(); }, 5s));
    EXPECT_EQ(scale.Count("rx 5A"), 2);
    dlg.reset();
    CMyMsg::SetAnswerer({});
}

}  // namespace
