// A full table end to end: 65,001 weighings from the simulated scale over a pseudo-terminal reach
// the row limit, are saved automatically, and Clear connects again.
#include "CPesavoDlg.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool Until(Pred pred, std::chrono::milliseconds limit) {
    if (pred()) return true;
    QEventLoop loop;
    QTimer poll, deadline;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (pred()) loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(20);
    deadline.setSingleShot(true);
    deadline.start(static_cast<int>(limit.count()));
    loop.exec();
    return pred();
}

int SheetRows(const std::string& path) {
    const std::string command = "/usr/bin/python3 -c 'import sys, xlrd; print(xlrd.open_workbook(sys.argv[1])"
                                ".sheet_by_index(0).nrows)' '" + path + "'";
    FILE* p = popen(command.c_str(), "r");
    int rows = -1;
    if (!p || std::fscanf(p, "%d", &rows) != 1) rows = -1;
    if (p) pclose(p);
    return rows;
}

TEST(FullTableTest, AFullTableIsSavedAndClearConnectsAgain) {
    ProgramFolder folder("full");
    CMyMsg::SetAnswerer([](const CMyMsg::Showing&) { return CMyMsg::IdNo; });
    ScaleSim scale({"--count", "65001", "--interval", "0"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    auto dlg = std::make_unique<CPesavoDlg>();
    dlg->OnInitDialog();
    dlg->m_cmbPort->setCurrentIndex(1);
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CONNECT))->click();

    ASSERT_TRUE(Until([&] { return dlg->m_bTableFull; }, 600s)) << dlg->Model().rowCount() << " rows";
    EXPECT_TRUE(scale.WaitForLine("rx 3A"));
    EXPECT_EQ(scale.Count("rx 9F"), 65001);  // one answer for every weighing...
    EXPECT_EQ(scale.Lines().back(), "rx 3A");  // ...then the disconnect notice
    EXPECT_EQ(dlg->Model().rowCount(), 0);
    const std::string saved = dlg->m_strSavePath.toStdString();
    EXPECT_EQ(std::filesystem::path(saved).parent_path(), std::filesystem::path(folder.Path()).parent_path());
    EXPECT_EQ(SheetRows(saved), 65002);  // the titles and every weighing

    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_TRUE(Until([&] { return dlg->m_bConnected.load(); }, 5s));
    EXPECT_EQ(scale.Count("rx 5A"), 2);
    dlg.reset();
    CMyMsg::SetAnswerer({});
}

}  // namespace
