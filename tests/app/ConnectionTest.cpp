// The window against simulated scales on pseudo-terminals: handshake, search, Test mode, close,
// and weighings arriving end to end.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/ProgramFolder.h"
#include "../support/EventLoop.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"
#include "CProgressDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <mutex>

namespace {

using namespace std::chrono_literals;


class ConnectionTest : public ::testing::Test {
protected:
    ProgramFolder folder{"connection"};
    Boxes boxes;
    std::unique_ptr<CPesavoDlg> dlg;

    // A device map with one line per device, COM11, COM12, ...
    void MapPorts(const std::vector<std::string>& devices) {
        std::string map = "[SerialComm]\r\n";
        for (std::size_t i = 0; i < devices.size(); ++i) map += "COM" + std::to_string(11 + i) + "=" + devices[i] + "\r\n";
        folder.WriteFile("SerialComm.ini", map);
    }
    CPesavoDlg& Start() {
        dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
        dlg->OnInitDialog();
        dlg->show();
        return *dlg;
    }
    void TearDown() override { dlg.reset(); }  // stops workers and monitor before the scales go
    template <typename Pred>
    bool Until(Pred pred, std::chrono::milliseconds limit = 5s) {
        return RunUntil(pred, limit);
    }
    QString Text(const char16_t* section, const char16_t* key) { return LanguageText(*dlg, section, key); }
    QPushButton* ConnectButton() { return Item<QPushButton>(*dlg, CPesavoDlg::IDC_CONNECT); }
    QAbstractButton* Button(int id) { return ::Button(*dlg, id); }
};

// Lines of a frames file for scale-sim: `count` weighings of 1.00 kg, 1.01 kg, ...
std::string WeighingLines(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t f[5] = {0x5F, 0x04, 0x00, static_cast<std::uint8_t>((100 + i) >> 8), static_cast<std::uint8_t>(100 + i)};
        char line[32];
        std::snprintf(line, sizeof line, "%02X %02X %02X %02X %02X %02X\n", f[0], f[1], f[2], f[3], f[4], f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
        lines += line;
    }
    return lines;
}

TEST_F(ConnectionTest, ChosenPortThatAnswersConnectsAndLocksTheControls) {
    ScaleSim scale({"--count", "0", "--interval", "100000"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.GetDesk().Connected(); }));
    EXPECT_EQ(ConnectButton()->text(), Text(u"Dialog_Caption", u"Serial_Caption_Close"));
    for (int id : {CPesavoDlg::IDC_PORT_GROUP, CPesavoDlg::IDC_PORT, CPesavoDlg::IDC_REFRESH,
                   CPesavoDlg::IDC_LANGUAGE_GROUP, CPesavoDlg::IDC_LANGUAGE, CPesavoDlg::IDC_LANGUAGE_OK})
        EXPECT_FALSE(Item(w, id)->isEnabled()) << id;
    EXPECT_TRUE(ConnectButton()->isEnabled());
    EXPECT_EQ(scale.Count("rx 5A"), 1);

    // Closing with an empty table: no question, the notice reaches the scale, controls return.
    ConnectButton()->click();
    EXPECT_TRUE(Until([&] { return !w.GetDesk().Connected(); }));
    EXPECT_TRUE(scale.WaitForLine("rx 3A"));
    EXPECT_TRUE(Item(w, CPesavoDlg::IDC_PORT)->isEnabled());
    EXPECT_EQ(ConnectButton()->text(), Text(u"Dialog_Caption", u"Serial_Caption_Open"));
    EXPECT_TRUE(w.GetDesk().Link().TestMode());  // the first close starts the Test mode
}

TEST_F(ConnectionTest, ChosenPortThatStaysSilentFailsAfterASecond) {
    ScaleSim scale({"--silent"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    QElapsedTimer t;
    t.start();
    ConnectButton()->click();
    const QString fails = Text(u"Message", u"Connection_Fails");
    ASSERT_TRUE(Until([&] { return boxes.Shown(fails); }));
    EXPECT_GE(t.elapsed(), 900);  // the scale had its second to answer
    EXPECT_FALSE(w.GetDesk().Connected());
    EXPECT_TRUE(scale.WaitForLine("rx 5A"));
}

TEST_F(ConnectionTest, AutomaticSearchTriesEveryPortInOrder) {
    ScaleSim first({"--silent"}), second({"--silent"}), third({"--count", "0", "--interval", "100000"});
    MapPorts({first.Device(), second.Device(), third.Device()});
    CPesavoDlg& w = Start();
    ASSERT_EQ(Ports(w)->currentIndex(), 0);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.GetDesk().Connected(); }));
    EXPECT_EQ(first.Count("rx 5A"), 1);
    EXPECT_EQ(second.Count("rx 5A"), 1);
    EXPECT_EQ(third.Count("rx 5A"), 1);
    EXPECT_EQ(w.GetDesk().Link().SearchIndex(), 3);
    EXPECT_EQ(Ports(w)->currentIndex(), 0);
}

TEST_F(ConnectionTest, TestModeSearchesUntilAScaleAppears) {
    const std::string link = folder.File("scale-link");
    MapPorts({link});
    CPesavoDlg& w = Start();
    Item<QPushButton>(w, CPesavoDlg::IDC_TEST)->click();
    QTest::qWait(1200);  // a few cycles with nothing there
    EXPECT_FALSE(w.GetDesk().Connected());
    ScaleSim scale({"--count", "0", "--interval", "100000", "--link", link});
    ASSERT_TRUE(Until([&] { return w.GetDesk().Connected(); }, 5s));
}

TEST_F(ConnectionTest, WeighingsArriveAsRowsAndAreAcknowledged) {
    const std::string frames = folder.File("frames.txt");
    folder.WriteFile("frames.txt",
                     "5F 02 00 04 D2 8B\n"   // 123.4 kg
                     "5F 44 00 04 D2 CD\n"   // -12.34 kg
                     "3F 00 00 00 00 00\n"   // overweight
                     "5F 02 00 04 D2 00\n"   // bad check byte: a notice, no row
                     "5F 02 00 04 D2 00\n"   // bad again: an error row
                     "5F 02 00 00 00 5D\n");  // a real 0.0 kg
    ScaleSim scale({"--frames", frames, "--interval", "20"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() == 5; }));
    ASSERT_TRUE(scale.WaitForLine("rx 9F", 5));
    EXPECT_EQ(scale.Count("rx F9"), 1);
    auto data = [&](int row) { return Q(w.Model().Text(row, MeasurementModel::Data)); };
    EXPECT_EQ(data(0), QStringLiteral("123.4"));
    EXPECT_EQ(data(1), QStringLiteral("-12.34"));
    EXPECT_EQ(data(2), Text(u"ListCtrl_Header", u"Overweight"));
    EXPECT_EQ(data(3), Text(u"ListCtrl_Header", u"Error_EX"));
    EXPECT_TRUE(Q(w.Model().Text(3, MeasurementModel::Explan)).endsWith(QStringLiteral("5F020004D200")));
    EXPECT_EQ(data(4), QStringLiteral("0.0"));
    EXPECT_EQ(w.Model().Table().ReadingAt(4).kind, weighing::RowKind::Weight);  // a real empty platform, not an error
    EXPECT_EQ(w.Model().Table().ReadingAt(2).kind, weighing::RowKind::Overweight);
    EXPECT_EQ(Q(w.Model().Text(0, MeasurementModel::Number)), QStringLiteral("       1"));
    EXPECT_EQ(Q(w.Model().Text(4, MeasurementModel::Unit)), QStringLiteral("KG"));
    EXPECT_EQ(w.Model().Table().ReadingAt(0).decimals, 1);
    EXPECT_DOUBLE_EQ(w.Model().Table().ReadingAt(2).kg, 555.5);
}

TEST_F(ConnectionTest, UnpluggedScaleClosesTheConnectionAndKeepsTheRows) {
    const std::string frames = folder.File("frames.txt");
    folder.WriteFile("frames.txt", "5F 02 00 04 D2 8B\n");
    auto scale = std::make_unique<ScaleSim>(std::vector<std::string>{"--frames", frames, "--interval", "20"});
    MapPorts({scale->Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() == 1; }));
    boxes.answer = CMyMsg::IdCancel;  // the operator dismisses the save question...
    scale->Stop();
    const QString question = Text(u"Message", u"Port_Close");
    ASSERT_TRUE(Until([&] { return boxes.Shown(question); }));
    QApplication::processEvents();
    // ...the table stays as it is, but a scale whose line is gone is not shown connected.
    EXPECT_FALSE(w.GetDesk().Connected());
    EXPECT_EQ(ConnectButton()->text(), Text(u"Dialog_Caption", u"Serial_Caption_Open"));
    EXPECT_EQ(w.Model().rowCount(), 1);
    // Then the operator saves: the row is in the file, the table is empty.
    boxes.savePath = QString::fromStdString(folder.File("unplugged.xls"));
    Button(CPesavoDlg::IDC_SAVE)->click();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() == 0 && !w.GetDesk().Busy(); }));
    EXPECT_TRUE(std::filesystem::exists(folder.File("unplugged.xls")));
    // The disconnect notice cannot reach an unplugged scale; that is no news worth a box.
    ASSERT_TRUE(Until([&] { return !static_cast<desk::EngineLine&>(w.GetDesk().SerialLine()).Engine().MonitorRunning(); }));
    EXPECT_EQ(boxes.CountStartingWith(QStringLiteral("WARNING:")), 0);
}

}  // namespace

namespace {

TEST_F(ConnectionTest, AThousandFramesGiveExactlyTheExpectedRowsAndAnswers) {
    std::string script;
    std::vector<std::string> answers;
    int rows = 0, overweight = 0, negative = 0;
    for (int i = 0; i < 1000; ++i) {
        std::uint8_t f[6];
        if (i % 37 == 3) {
            f[0] = 0x3F, f[1] = f[2] = f[3] = f[4] = f[5] = 0;
            ++overweight;
        } else {
            const bool minus = i % 11 == 0;
            negative += minus && i % 50 != 7;
            const std::uint8_t decimals[] = {0x02, 0x04, 0x08};
            f[0] = 0x5F, f[1] = static_cast<std::uint8_t>((minus ? 0x40 : 0) | decimals[i % 3]);
            f[2] = static_cast<std::uint8_t>(i % 3), f[3] = static_cast<std::uint8_t>(i * 7), f[4] = static_cast<std::uint8_t>(i * 13 + 1);
            f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
            if (i % 50 == 7) f[5] ^= 0xFF;  // garbled on the line
        }
        const bool bad = f[0] == 0x5F && i % 50 == 7;
        answers.push_back(bad ? "rx F9" : "rx 9F");
        rows += !bad;
        char line[32];
        std::snprintf(line, sizeof line, "%02X %02X %02X %02X %02X %02X\n", f[0], f[1], f[2], f[3], f[4], f[5]);
        script += line;
    }
    folder.WriteFile("frames.txt", script);
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    const bool all = Until([&] { return w.Model().rowCount() == rows; }, 60s);
    if (!all) {
        auto l = scale.Lines();
        ADD_FAILURE() << "rows " << w.Model().rowCount() << " of " << rows << ", simulator lines " << l.size()
                      << ", last " << l.back();
        return;
    }
    ASSERT_TRUE(scale.WaitForLine("rx 9F", rows));
    std::vector<std::string> seen = scale.Lines();
    // The device path, the other kinds' probes and the handshake request.
    const auto greeted = std::find(seen.begin(), seen.end(), "rx 5A");
    ASSERT_NE(greeted, seen.end());
    seen.erase(seen.begin(), greeted + 1);
    EXPECT_EQ(seen, answers);
    int shownOverweight = 0, shownNegative = 0;
    for (int r = 0; r < rows; ++r) {
        const QString data = Q(w.Model().Text(r, MeasurementModel::Data));
        shownOverweight += data == Text(u"ListCtrl_Header", u"Overweight");
        shownNegative += data.startsWith('-');
    }
    EXPECT_EQ(shownOverweight, overweight);
    EXPECT_EQ(shownNegative, negative);
    EXPECT_EQ(Q(w.Model().Text(rows - 1, MeasurementModel::Number)), QString::asprintf("%8d", rows));
}

}  // namespace

namespace {

// After "Error_Error" answered Yes the scale hears the frame's answer first, then the notice.
TEST_F(ConnectionTest, YesToRepeatedErrorsDisconnectsAfterTheLastFrameIsAnswered) {
    std::string frames;
    for (int i = 0; i < 8; ++i) frames += "5F 02 00 04 D2 00\n";  // every check byte wrong
    folder.WriteFile("frames.txt", frames);
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    boxes.answers[Text(u"Message", u"Error_Error")] = CMyMsg::IdYes;  // and No to saving the rows
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return scale.Count("rx 3A") == 1; }, 10s));
    EXPECT_EQ(scale.Count("rx F9"), 4);
    EXPECT_EQ(scale.Count("rx 9F"), 4);  // four error rows, the fourth asked the question
    const std::vector<std::string> lines = scale.Lines();
    EXPECT_EQ(lines[lines.size() - 2], "rx 9F");
    EXPECT_EQ(lines.back(), "rx 3A");
    EXPECT_FALSE(w.GetDesk().Connected());
    EXPECT_EQ(w.Model().rowCount(), 0);
}

// Esc on the progress dialog gives the window back, but not the table: Save, Clear and the unit
// buttons do nothing, and closing waits, until the save has ended; then the file holds every row
// and the window closes as asked.
TEST_F(ConnectionTest, EscOnTheProgressDialogLeavesTheTableToTheSave) {
    folder.WriteFile("frames.txt", WeighingLines(300));
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() == 300; }, 10s));
    boxes.savePath = QString::fromStdString(folder.File("table.xls"));
    bool busy = false, progressShown = false, anyEnabled = true;
    auto* progress = w.findChild<CProgressDlg*>();
    ASSERT_NE(progress, nullptr);
    boxes.onSave = [&](const QString&) {
        // The save's progress shows as soon as its path is chosen; the operator acts then.
        QTimer::singleShot(0, [&] {
            busy = w.GetDesk().Busy();
            progressShown = progress->isVisible();
            QTest::keyClick(progress, Qt::Key_Escape);
            anyEnabled = false;
            for (int id : {CPesavoDlg::IDC_SAVE, CPesavoDlg::IDC_CLEAR, CPesavoDlg::IDC_UNIT_LB}) {
                anyEnabled = anyEnabled || Button(id)->isEnabled();
                Button(id)->click();
            }
            w.close();
        });
        return boxes.savePath;
    };
    Button(CPesavoDlg::IDC_SAVE)->click();
    ASSERT_TRUE(Until([&] { return busy; }));  // the operator has acted
    EXPECT_TRUE(busy);
    EXPECT_TRUE(progressShown);
    EXPECT_FALSE(anyEnabled);
    ASSERT_TRUE(Until([&] { return !w.isVisible(); }, 10s));  // the held close, after the save
    EXPECT_EQ(SheetRows(boxes.savePath.toStdString()), 301);
    EXPECT_EQ(w.Model().rowCount(), 0);
    EXPECT_FALSE(boxes.Shown(Text(u"Message", u"Clear_Data")));
    EXPECT_EQ(w.GetDesk().Unit(), 0);
    EXPECT_TRUE(Until([&] { return scale.Count("rx 3A") == 1; }));  // closing told the scale
}

}  // namespace

namespace {

// An impatient operator: a second click while the search runs starts no second search; the one
// search connects, and weighings are answered and become rows. The Test button while connected
// changes nothing that is connected.
TEST_F(ConnectionTest, ASecondClickDuringASearchMakesOneConnection) {
    folder.WriteFile("frames.txt", WeighingLines(300));
    ScaleSim first({"--silent"}), second({"--silent"}), third({"--frames", folder.File("frames.txt"), "--interval", "10"});
    MapPorts({first.Device(), second.Device(), third.Device()});
    CPesavoDlg& w = Start();
    ConnectButton()->click();
    ConnectButton()->click();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() >= 5; }, 10s));
    EXPECT_TRUE(w.GetDesk().Connected());
    for (ScaleSim* s : {&first, &second, &third}) EXPECT_EQ(s->Count("rx 5A"), 1);

    Item<QPushButton>(w, CPesavoDlg::IDC_TEST)->click();
    EXPECT_TRUE(w.GetDesk().Link().TestMode());
    const int rows = w.Model().rowCount();
    ASSERT_TRUE(Until([&] { return w.Model().rowCount() >= rows + 5; }, 10s));  // still weighing
    EXPECT_TRUE(w.GetDesk().Connected());
    EXPECT_EQ(third.Count("rx 5A"), 1);
    EXPECT_EQ(third.Count("rx 3A"), 0);
    EXPECT_GE(third.Count("rx 9F"), w.Model().rowCount() - 1);
}

// A port that refuses the line settings (here /dev/null) in the list: the Test cycle meets it
// round after round and the operator hears of it once; a search of the operator's tells it once
// more; the window never freezes and closes at once.
TEST_F(ConnectionTest, APortThatRefusesItsSettingsIsToldOncePerActionAndNeverFreezes) {
    ScaleSim silent({"--silent"});
    MapPorts({"/dev/null", silent.Device()});
    CPesavoDlg& w = Start();
    Item<QPushButton>(w, CPesavoDlg::IDC_TEST)->click();
    ASSERT_TRUE(Until([&] { return silent.Count("rx 5A") >= 3; }, 10s));
    const QString refused = QStringLiteral("WARNING:  tcgetattr() Failed");
    EXPECT_EQ(boxes.CountStartingWith(refused), 1);
    ConnectButton()->click();  // the operator searches: the cycle gives way
    ASSERT_TRUE(Until([&] { return boxes.CountStartingWith(refused) == 2; }, 10s));
    ASSERT_TRUE(Until([&] { return silent.Count("rx 5A") >= 6; }, 10s));  // and searches on
    EXPECT_EQ(boxes.CountStartingWith(refused), 2);

    // Closing in the middle of a round ends, with every worker joined.
    std::atomic<bool> closed{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !closed; ++i) std::this_thread::sleep_for(10ms);
        if (!closed) {
            std::fprintf(stderr, "closing the window hangs\n");
            std::abort();
        }
    });
    w.close();
    dlg.reset();
    closed = true;
    watchdog.join();
}

// The same weighings, whole, in two pieces each, and with the first right behind the handshake
// reply: the same rows, and the scale hears the same answers.
TEST_F(ConnectionTest, FramesInPiecesOrRightBehindTheReplyGiveTheSameRowsAndAnswers) {
    folder.WriteFile("frames.txt",
                     "5F 02 00 04 D2 8B\n"   // 123.4 kg
                     "5F 44 00 04 D2 CD\n"   // -12.34 kg
                     "3F 00 00 00 00 00\n"   // overweight
                     "5F 02 00 04 D2 00\n"   // bad: a notice
                     "5F 02 00 00 32 6F\n");  // 5.0 kg
    std::vector<QStringList> rows;
    std::vector<std::vector<std::string>> answers;
    for (const std::vector<std::string>& mode : std::vector<std::vector<std::string>>{{}, {"--split"}, {"--early"}, {"--split", "--early"}}) {
        std::vector<std::string> args = {"--frames", folder.File("frames.txt"), "--interval", "0"};
        args.insert(args.end(), mode.begin(), mode.end());
        ScaleSim scale(args);
        MapPorts({scale.Device()});
        CPesavoDlg& w = Start();
        Ports(w)->setCurrentIndex(1);
        ConnectButton()->click();
        ASSERT_TRUE(Until([&] { return scale.Count("rx 9F") + scale.Count("rx F9") == 5; }, 10s)) << mode.size();
        QStringList data;
        for (int r = 0; r < w.Model().rowCount(); ++r) data << Q(w.Model().Text(r, MeasurementModel::Data));
        rows.push_back(data);
        std::vector<std::string> heard = scale.Lines();
        heard.erase(heard.begin());  // the line's device name, which differs from scale to scale
        answers.push_back(heard);
        dlg.reset();
    }
    ASSERT_EQ(rows.front().size(), 4);
    EXPECT_EQ(rows.front()[0], "123.4");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i], rows.front()) << i;
        EXPECT_EQ(answers[i], answers.front()) << i;
    }
}

// A port this user may not open says so, with the way to get it, instead of "the scale did not
// answer".
TEST_F(ConnectionTest, APortWithoutPermissionSaysSoAndHowToGetIt) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as a user without the port needs root";
    ScaleSim scale({"--count", "0", "--interval", "100000"});
    ASSERT_EQ(chmod(scale.Device().c_str(), 0600), 0);
    MapPorts({scale.Device()});
    CPesavoDlg& w = Start();
    Ports(w)->setCurrentIndex(1);
    const QString denied = Text(u"Message", u"Port_No_Access");
    ASSERT_FALSE(denied.isEmpty());
    if (seteuid(65534) != 0) GTEST_SKIP() << "cannot act as user nobody";
    ConnectButton()->click();
    const bool told = Until([&] { return boxes.CountStartingWith(denied) == 1; }, 5s);
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_TRUE(told);
    EXPECT_TRUE(boxes.texts.back().contains("dialout"));
    EXPECT_FALSE(w.GetDesk().Connected());
    EXPECT_EQ(scale.Count("rx 5A"), 0);
}

}  // namespace

namespace {

QStringList g_qtWarnings;
void CatchQtWarning(QtMsgType, const QMessageLogContext&, const QString& text) { g_qtWarnings << text; }

// "Error_Error" asked while a unit conversion runs, and answered Yes only after the conversion
// ended under the question: the disconnect (with its offer to save) waits until the conversion's
// progress dialog is gone, no modal loop is entered twice, and every answered frame is in the
// file or the table.
TEST_F(ConnectionTest, YesToErrorsUnderAnEndingConversionDisconnectsAfterIt) {
    std::string frames = WeighingLines(10000);
    for (int i = 0; i < 10; ++i) frames += "5F 02 00 04 D2 00\n";  // five error rows: two questions
    frames += WeighingLines(300);
    folder.WriteFile("frames.txt", frames);
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "0"});
    MapPorts({scale.Device()});
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());  // not shown: ten thousand rows come faster
    dlg->OnInitDialog();
    CPesavoDlg& w = *dlg;
    boxes.savePath = QString::fromStdString(folder.File("saved.xls"));
    const QString errors = Text(u"Message", u"Error_Error"), close = Text(u"Message", u"Port_Close");
    int asked = 0;
    boxes.onBox = [&](const CMyMsg::Showing& s) {
        if (s.text == close) return int(CMyMsg::IdYes);
        if (s.text != errors) return int(CMyMsg::IdNo);
        if (++asked == 1) {
            QTimer::singleShot(0, [&] { Button(CPesavoDlg::IDC_UNIT_LB)->click(); });
            return int(CMyMsg::IdNo);
        }
        RunUntil([&] { return w.GetDesk().Unit() == 1; }, 60s);  // the conversion ends under the question
        return int(CMyMsg::IdYes);
    };
    const QtMessageHandler previous = qInstallMessageHandler(CatchQtWarning);
    Ports(w)->setCurrentIndex(1);
    ConnectButton()->click();
    const bool done = Until([&] { return asked == 2 && !w.GetDesk().Connected() && !w.GetDesk().Busy(); }, 120s);
    qInstallMessageHandler(previous);
    ASSERT_TRUE(done) << asked << " questions, " << w.Model().rowCount() << " rows";
    EXPECT_FALSE(g_qtWarnings.join('\n').contains("Recursive")) << g_qtWarnings.join('\n').toStdString();
    ASSERT_TRUE(Until([&] { return scale.Count("rx 3A") == 1; }));
    EXPECT_EQ(SheetRows(boxes.savePath.toStdString()) - 1 + w.Model().rowCount(), scale.Count("rx 9F"));
}

}  // namespace
