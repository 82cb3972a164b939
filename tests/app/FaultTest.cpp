// What goes wrong at a real packing desk: a port someone else holds, a second Pesavo on the same
// scale, a language folder that is gone or empty, a huge hand-edited language file, a program
// folder nobody may write to when the table fills up. Each case shows what the operator sees,
// and that no row is lost.
#include "CPesavoDlg.h"
#include "Journal.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ReadOnlyFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"
#include "platform/SerialDevice.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
        auto w = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
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
        Ports(w)->setCurrentIndex(1);
        Button(w, CPesavoDlg::IDC_CONNECT)->click();
    }
    void MapPort(const std::string& device) { folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM7=" + device + "\r\n"); }
};

TEST_F(FaultTest, APortHeldByAnotherProgramFailsClearlyAndIsLeftAlone) {
    ScaleSim scale({"--count", "0", "--interval", "50"});
    MapPort(scale.Device());
    platform::SerialDevice holder;  // another program has the port open
    int error = 0;
    ASSERT_TRUE(holder.Open(scale.Device(), error));
    dlg = Window();
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    // Told at once, and why: busy, not "the scale did not answer".
    const QString busy = LanguageText(*dlg, u"Message", u"Port_Busy");
    ASSERT_FALSE(busy.isEmpty());
    ASSERT_TRUE(RunUntil([&] { return BoxStartingWith(busy); }, 5s));
    EXPECT_FALSE(dlg->GetDesk().Connected());
    EXPECT_EQ(scale.Count("rx 5A"), 0);  // nothing was sent on the other program's line

    // Once the other program lets go, the same button connects.
    holder.Close();
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    EXPECT_TRUE(RunUntil([&] { return dlg->GetDesk().Connected(); }, 5s));
}

TEST_F(FaultTest, ASecondWindowOnTheSamePortLeavesTheFirstOneWeighing) {
    ScaleSim scale({"--count", "0", "--interval", "30"});
    MapPort(scale.Device());
    dlg = Window();
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() >= 3; }, 5s));

    auto second = Window();
    Ports(*second)->setCurrentIndex(1);
    Button(*second, CPesavoDlg::IDC_CONNECT)->click();
    const QString busy = LanguageText(*second, u"Message", u"Port_Busy");
    ASSERT_TRUE(RunUntil([&] { return BoxStartingWith(busy); }, 5s));
    EXPECT_FALSE(second->GetDesk().Connected());
    EXPECT_EQ(second->Model().rowCount(), 0);
    second.reset();

    // The first window kept its line: weighings still arrive, each answered once.
    EXPECT_TRUE(dlg->GetDesk().Connected());
    const int before = dlg->Model().rowCount();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() >= before + 3; }, 5s));
    const int rows = dlg->Model().rowCount();
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();  // close without saving (the answer is No)
    ASSERT_TRUE(RunUntil([&] { return scale.Count("rx 3A") == 1; }, 5s));
    EXPECT_EQ(scale.Count("rx 5A"), 1);
    // The rows asked about are gone; weighings answered while the question was open stay.
    EXPECT_EQ(scale.Count("rx 9F"), rows + dlg->Model().rowCount());
}

TEST_F(FaultTest, AMissingOrEmptyLanguageFolderLeavesTheListEmptyAndTheTableWorking) {
    for (bool empty : {false, true}) {
        std::filesystem::remove_all(folder.File("Language"));
        if (empty) std::filesystem::create_directories(folder.File("Language"));
        const std::string settings = folder.ReadFile("Setting.ini");
        dlg = Window();
        EXPECT_EQ(Languages(*dlg)->count(), 0) << empty;
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
    ASSERT_TRUE(RunUntil([&] { return boxes.CountStartingWith(QString()) > 0; }, 5s));
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
        auto earlier = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());  // ends without saving: as a crash leaves it
        earlier->SetJournalFolder(data);
        earlier->OnInitDialog();
        Ports(*earlier)->setCurrentIndex(1);
        Button(*earlier, CPesavoDlg::IDC_CONNECT)->click();
        ASSERT_TRUE(RunUntil([&] { return scale.Count("rx 9F") >= 5; }, 10s));
    }
    std::vector<std::string> weights;
    {
        auto w = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
        w->SetJournalFolder(data);
        w->OnInitDialog();  // the question is answered No
        ASSERT_TRUE(RunUntil([&] { return BoxStartingWith("The weighings were written to "); }, 10s));
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
        auto second = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
        second->SetJournalFolder(data);
        second->OnInitDialog();
        EXPECT_FALSE(second->GetDesk().JournalOn());
        EXPECT_TRUE(RunUntil([&] { return BoxStartingWith("Another Pesavo keeps its journal in "); }, 5s));
        EXPECT_TRUE(second->windowTitle().endsWith(" — rows not journalled"));
        EXPECT_TRUE(w->GetDesk().JournalOn());
    }
    const int restoreQuestions = boxes.CountStartingWith("5 weighings from ");
    {
        auto again = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());  // nothing left to offer
        again->SetJournalFolder(data);
        again->OnInitDialog();
        QApplication::processEvents();
        EXPECT_EQ(boxes.CountStartingWith("5 weighings from "), restoreQuestions);
    }

    const std::string damaged = folder.File("damaged");
    std::filesystem::create_directories(damaged);
    folder.WriteFile("damaged/journal.sqlite3", std::string(5000, '?'));
    {
        auto w = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
        w->SetJournalFolder(damaged);
        w->OnInitDialog();
        EXPECT_TRUE(w->GetDesk().JournalOn());
        EXPECT_TRUE(RunUntil([&] { return BoxStartingWith("The journal " + QString::fromStdString(damaged) + "/journal.sqlite3 was damaged. It was kept as "); }, 5s));
    }

    const std::string locked = folder.File("locked");
    std::filesystem::create_directories(locked);
    ReadOnlyFolder readOnly(locked);
    if (!readOnly.Ok()) GTEST_SKIP() << "cannot mount a folder read-only here (needs root)";
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->SetJournalFolder(locked);
    dlg->OnInitDialog();
    EXPECT_FALSE(dlg->GetDesk().JournalOn());
    EXPECT_TRUE(RunUntil([&] { return boxes.CountStartingWith("The journal cannot be written") == 1; }, 5s));
    EXPECT_TRUE(dlg->windowTitle().endsWith(" — rows not journalled"));
    std::unique_ptr<ScaleSim> one;
    ConnectToOneWeighing(*dlg, one);
    EXPECT_TRUE(RunUntil([&] { return one->Count("rx 9F") == 1 && dlg->Model().rowCount() == 1; }, 10s));  // weighing goes on
    EXPECT_EQ(boxes.CountStartingWith("The journal cannot be written"), 1);
}

// After a crash the scale sends the same bytes as the last row, whose answer was not known to
// have left: a repeat, or a new parcel of the same weight. The row is kept, marked, and nothing
// is lost. And a journal that fails while weighing (a full disk) starts again once the table is
// emptied by a save, so the saved rows are not offered back at the next start.
TEST_F(FaultTest, JournalKeepsAMaybeRepeatAndForgetsRowsSavedWhileItWasOff) {
    const std::string data = folder.File("data");
    const std::uint8_t a[6] = {0x5F, 0x02, 0x00, 0x00, 0x32, 0x6F};  // 5.0 kg
    const std::uint8_t f[6] = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};  // 123.4 kg
    {
        journal::Journal::Opening opening = journal::Journal::Open(data);
        ASSERT_TRUE(opening.journal);
        weighing::MeasurementTable table;
        table.SetLog(opening.journal.get());
        opening.journal->NextRowFrom(a, sizeof a);
        opening.journal->MarkAnswered(table.Append({u"       1", u"5.0", u"KG", u"00:00:01", u"14:05:09 12/07/2026", u""},
                                                   {weighing::RowKind::Weight, 5.0, 1}));
        opening.journal->NextRowFrom(f, sizeof f);
        table.Append({u"       2", u"123.4", u"KG", u"00:00:02", u"14:05:10 12/07/2026", u""}, {weighing::RowKind::Weight, 123.4, 1});
        ASSERT_TRUE(opening.journal->Commit());
        table.SetLog(nullptr);
    }
    folder.WriteFile("frames.txt", "5F 02 00 04 D2 8B\n5F 02 00 00 32 6F\n");  // the same bytes again, then 5.0 kg
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    MapPort(scale.Device());
    boxes.answer = CMyMsg::IdYes;  // put them back
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() == 2; }, 5s));
    boxes.answer = CMyMsg::IdNo;
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return dlg->Model().rowCount() == 4; }, 10s));
    EXPECT_EQ(Q(dlg->Model().Text(2, MeasurementModel::Data)), "123.4");
    EXPECT_TRUE(Q(dlg->Model().Text(2, MeasurementModel::Explan)).startsWith("Maybe sent again"));
    EXPECT_EQ(Q(dlg->Model().Text(3, MeasurementModel::Data)), "5.0");
    EXPECT_TRUE(Q(dlg->Model().Text(3, MeasurementModel::Explan)).isEmpty());

    // The disk fills up: said once, weighing goes on; the table saved whole empties the journal.
    const std::string small = folder.File("small");
    std::filesystem::create_directories(small);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
    struct Unmount {
        std::string path;
        ~Unmount() { std::system(("umount -l '" + path + "'").c_str()); }
    } unmount{small};
    dlg.reset();
    ScaleSim more({"--count", "0", "--interval", "0"});
    MapPort(more.Device());
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->SetJournalFolder(small);
    dlg->OnInitDialog();
    ASSERT_TRUE(dlg->GetDesk().JournalOn());
    { std::ofstream filler(small + "/filler", std::ios::binary); filler << std::string(1 << 20, 'f'); }
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return !dlg->GetDesk().JournalOn() && dlg->Model().rowCount() >= 200; }, 30s));
    EXPECT_EQ(boxes.CountStartingWith("The journal cannot be written"), 1);
    std::filesystem::remove(small + "/filler");
    boxes.savePath = QString::fromStdString(folder.File("all.xls"));
    boxes.answer = CMyMsg::IdYes;  // save before closing the connection
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    boxes.answer = CMyMsg::IdNo;
    ASSERT_TRUE(RunUntil([&] { return !dlg->GetDesk().Connected() && !dlg->GetDesk().Busy(); }, 30s));
    if (dlg->Model().rowCount() > 0) {  // weighings that came during that save
        boxes.savePath = QString::fromStdString(folder.File("rest.xls"));
        Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
        ASSERT_TRUE(RunUntil([&] { return !dlg->GetDesk().Busy(); }, 30s));
    }
    EXPECT_EQ(dlg->Model().rowCount(), 0);
    EXPECT_TRUE(dlg->GetDesk().JournalOn());  // taken up again: the emptied table holds nothing it lacks
    dlg.reset();
    const int questions = boxes.CountStartingWith("weighings from ");
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->SetJournalFolder(small);
    dlg->OnInitDialog();
    EXPECT_EQ(dlg->Model().rowCount(), 0);
    EXPECT_EQ(boxes.CountStartingWith("weighings from "), questions);  // nothing offered back
}
