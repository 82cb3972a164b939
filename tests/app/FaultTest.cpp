// What goes wrong at a real packing desk: a port someone else holds, a second Pesavo on the same
// scale, a language folder that is gone or empty, a huge hand-edited language file, a program
// folder nobody may write to when the table fills up. Each case shows what the operator sees,
// and that no row is lost.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ReadOnlyFolder.h"
#include "../support/ScaleSim.h"
#include "platform/SerialDevice.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;


class FaultTest : public ::testing::Test {
protected:
    ProgramFolder folder{"fault"};
    Boxes boxes;  // every box is answered No
    std::unique_ptr<CPesavoDlg> dlg;

    void SetUp() override { folder.WriteSettings("\\English.ini", "English"); }
    void TearDown() override { dlg.reset(); }  // stops workers and monitor before the boxes go
    std::unique_ptr<CPesavoDlg> Window() {
        auto w = std::make_unique<CPesavoDlg>();
        w->OnInitDialog();
        return w;
    }
    bool Shown(const QString& text) { return boxes.Shown(text); }
    bool BoxStartingWith(const QString& text) { return boxes.CountStartingWith(text) > 0; }
    // Connects the window to a simulated scale that sends one weighing of 123.4 kg.
    void ConnectToOneWeighing(CPesavoDlg& w, std::unique_ptr<ScaleSim>& scale) {
        folder.WriteFile("one.txt", "5F 02 00 04 D2 8B\n");
        scale = std::make_unique<ScaleSim>(std::vector<std::string>{"--frames", folder.File("one.txt"), "--interval", "0"});
        MapPort(scale->Device());
        w.RefreshPortList();
        w.m_cmbPort->setCurrentIndex(1);
        Button(w, CPesavoDlg::IDC_CONNECT)->click();
    }
    static QPushButton* Button(CPesavoDlg& w, int id) { return static_cast<QPushButton*>(w.GetDlgItem(id)); }
    void MapPort(const std::string& device) { folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM7=" + device + "\r\n"); }
};

TEST_F(FaultTest, APortHeldByAnotherProgramFailsClearlyAndIsLeftAlone) {
    ScaleSim scale({"--count", "0", "--interval", "50"});
    MapPort(scale.Device());
    platform::SerialDevice holder;  // another program has the port open
    int error = 0;
    ASSERT_TRUE(holder.Open(scale.Device(), error));
    dlg = Window();
    dlg->m_cmbPort->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    // Told at once, and why: busy, not "the scale did not answer".
    const QString busy = dlg->ReadLanguageText(u"Message", u"Port_Busy");
    ASSERT_FALSE(busy.isEmpty());
    ASSERT_TRUE(RunUntil([&] { return BoxStartingWith(busy); }, 5s));
    EXPECT_FALSE(dlg->m_bConnected);
    EXPECT_EQ(scale.Count("rx 5A"), 0);  // nothing was sent on the other program's line

    // Once the other program lets go, the same button connects.
    holder.Close();
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    EXPECT_TRUE(RunUntil([&] { return dlg->m_bConnected.load(); }, 5s));
}

TEST_F(FaultTest, ASecondWindowOnTheSamePortLeavesTheFirstOneWeighing) {
    ScaleSim scale({"--count", "0", "--interval", "30"});
    MapPort(scale.Device());
    dlg = Window();
    dlg->m_cmbPort->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() >= 3; }, 5s));

    auto second = Window();
    second->m_cmbPort->setCurrentIndex(1);
    Button(*second, CPesavoDlg::IDC_CONNECT)->click();
    const QString busy = second->ReadLanguageText(u"Message", u"Port_Busy");
    ASSERT_TRUE(RunUntil([&] { return BoxStartingWith(busy); }, 5s));
    EXPECT_FALSE(second->m_bConnected);
    EXPECT_EQ(second->Model().rowCount(), 0);
    second.reset();

    // The first window kept its line: weighings still arrive, each answered once.
    EXPECT_TRUE(dlg->m_bConnected);
    const int before = dlg->Model().rowCount();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() >= before + 3; }, 5s));
    const int rows = dlg->Model().rowCount();
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();  // close without saving (the answer is No)
    ASSERT_TRUE(scale.WaitForLine("rx 3A"));
    EXPECT_EQ(scale.Count("rx 5A"), 1);
    EXPECT_EQ(scale.Count("rx 9F"), rows);
}

TEST_F(FaultTest, AMissingOrEmptyLanguageFolderLeavesTheListEmptyAndTheTableWorking) {
    for (bool empty : {false, true}) {
        std::filesystem::remove_all(folder.File("Language"));
        if (empty) std::filesystem::create_directories(folder.File("Language"));
        const std::string settings = folder.ReadFile("Setting.ini");
        dlg = Window();
        EXPECT_EQ(dlg->m_cmbLanguage->count(), 0) << empty;
        EXPECT_TRUE(dlg->windowTitle().isEmpty()) << empty;  // no file: every text is empty
        dlg->OnLanguageOK();                                   // changes nothing
        EXPECT_EQ(folder.ReadFile("Setting.ini"), settings);
        std::unique_ptr<ScaleSim> scale;
        ConnectToOneWeighing(*dlg, scale);
        ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() == 1; }, 5s)) << empty;
        EXPECT_EQ(dlg->Model().Text(0, MeasurementModel::Data), u"123.4");
        dlg.reset();
    }
}

TEST_F(FaultTest, AMegabyteLanguageFileWithLongValuesIsCutToItsBuffer) {
    // The shipped English file with every value grown to 3000 characters, and padding to 1 MB.
    const std::string english = folder.ReadFile("Language/English.ini");
    std::string big;
    std::size_t start = 0;
    while (start < english.size()) {
        std::size_t end = english.find('\n', start);
        if (end == std::string::npos) end = english.size();
        std::string line = english.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('=') != std::string::npos && line.front() != '[' && line.rfind("Language_Name", 0) != 0)
            line += std::string(3000, 'x');
        big += line + "\r\n";
        start = end + 1;
    }
    big += "[Padding]\r\n";
    for (int i = 0; big.size() < (1u << 20); ++i) big += "Key" + std::to_string(i) + "=" + std::string(200, 'p') + "\r\n";
    folder.WriteFile("Language/English.ini", big);

    dlg = Window();
    const QString title = dlg->windowTitle();
    EXPECT_EQ(title.size(), 499);
    EXPECT_TRUE(title.startsWith(QStringLiteral("Korvane Scale")));
    EXPECT_EQ(dlg->Model().Title(0).size(), 499);
    std::unique_ptr<ScaleSim> scale;
    ConnectToOneWeighing(*dlg, scale);
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() == 1; }, 5s));
    EXPECT_EQ(dlg->Model().Text(0, MeasurementModel::Data), u"123.4");
    Button(*dlg, CPesavoDlg::IDC_CLEAR)->click();  // the question is cut as well; No keeps the row
    {
        std::lock_guard lock(boxes.mutex);
        ASSERT_FALSE(boxes.texts.isEmpty());
        EXPECT_EQ(boxes.texts.back().size(), 499);
    }
    EXPECT_EQ(dlg->Model().rowCount(), 1);
    dlg.reset();  // before its scale goes
}

}  // namespace

// The journal at the desk: weighings an earlier run left are offered back, and answered No they
// go to a recovered workbook first; a second window is told the journal is in use; a damaged
// journal is kept aside; a folder nobody may write to is said once, in the title as well, and
// weighing goes on.
TEST_F(FaultTest, JournalRecoveryInUseDamagedAndUnwritable) {
    const std::string data = folder.File("data");
    ScaleSim scale({"--count", "5", "--interval", "0"});
    MapPort(scale.Device());
    {
        auto earlier = std::make_unique<CPesavoDlg>();  // ends without saving: as a crash leaves it
        earlier->SetJournalFolder(data);
        earlier->OnInitDialog();
        earlier->m_cmbPort->setCurrentIndex(1);
        Button(*earlier, CPesavoDlg::IDC_CONNECT)->click();
        ASSERT_TRUE(RunUntil([&] { return scale.Count("rx 9F") >= 5; }, 10s));
    }
    std::vector<std::string> weights;
    {
        auto w = std::make_unique<CPesavoDlg>();
        w->SetJournalFolder(data);
        w->OnInitDialog();  // the question is answered No
        EXPECT_EQ(boxes.CountStartingWith("5 weighings from "), 1) << boxes.texts.join("\n").toStdString();
        EXPECT_EQ(w->Model().rowCount(), 0);
        std::string recovered;
        for (const auto& e : std::filesystem::directory_iterator(data))
            if (e.path().filename().string().rfind("RecoveredTable-", 0) == 0) recovered = e.path().string();
        ASSERT_FALSE(recovered.empty());
        EXPECT_TRUE(Shown(QStringLiteral("The weighings were written to %1.").arg(QString::fromStdString(recovered))));
        const QStringList lines = ReadBack(QString::fromStdString(recovered)).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 7) << lines.join('\n').toStdString();  // titles, five rows, the format line
        EXPECT_TRUE(lines[1].startsWith("       1|")) << lines[1].toStdString();

        // A second window on the same journal.
        auto second = std::make_unique<CPesavoDlg>();
        second->SetJournalFolder(data);
        second->OnInitDialog();
        EXPECT_FALSE(second->IsJournalOn());
        EXPECT_TRUE(BoxStartingWith("Another Pesavo keeps its journal in "));
        EXPECT_TRUE(second->windowTitle().endsWith(" — rows not journalled"));
        EXPECT_TRUE(w->IsJournalOn());
    }
    const int restoreQuestions = boxes.CountStartingWith("5 weighings from ");
    {
        auto again = std::make_unique<CPesavoDlg>();  // nothing left to offer
        again->SetJournalFolder(data);
        again->OnInitDialog();
        EXPECT_EQ(boxes.CountStartingWith("5 weighings from "), restoreQuestions);
    }

    const std::string damaged = folder.File("damaged");
    std::filesystem::create_directories(damaged);
    folder.WriteFile("damaged/journal.sqlite3", std::string(5000, '?'));
    {
        auto w = std::make_unique<CPesavoDlg>();
        w->SetJournalFolder(damaged);
        w->OnInitDialog();
        EXPECT_TRUE(w->IsJournalOn());
        EXPECT_TRUE(BoxStartingWith("The journal " + QString::fromStdString(damaged) + "/journal.sqlite3 was damaged. It was kept as "));
    }

    const std::string locked = folder.File("locked");
    std::filesystem::create_directories(locked);
    ReadOnlyFolder readOnly(locked);
    if (!readOnly.Ok()) GTEST_SKIP() << "cannot mount a folder read-only here (needs root)";
    dlg = std::make_unique<CPesavoDlg>();
    dlg->SetJournalFolder(locked);
    dlg->OnInitDialog();
    EXPECT_FALSE(dlg->IsJournalOn());
    EXPECT_EQ(boxes.CountStartingWith("The journal cannot be written"), 1);
    EXPECT_TRUE(dlg->windowTitle().endsWith(" — rows not journalled"));
    std::unique_ptr<ScaleSim> one;
    ConnectToOneWeighing(*dlg, one);
    EXPECT_TRUE(RunUntil([&] { return one->Count("rx 9F") == 1 && dlg->Model().rowCount() == 1; }, 10s));  // weighing goes on
    EXPECT_EQ(boxes.CountStartingWith("The journal cannot be written"), 1);
}
