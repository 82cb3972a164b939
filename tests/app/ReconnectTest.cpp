// The line of a connected scale lost in each way it goes — unplugged, failing, a polled scale
// fallen silent, a network serial server closing — and the scale back. With Reconnect=1 the
// desk asks nothing, says it waits, tries the port every second and takes the scale up again
// where the table left off; without it, the operator is asked about the rows, the scale is no
// longer shown connected whatever the answer, and the Test mode's search finds it again.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QPushButton>

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

struct Loss {
    const char* name;
    std::vector<std::string> scale;  // scale-sim's arguments (without where it is)
    bool tcp;
    enum class How { Unplug, Die, Silence, ServerCloses } how;
    const char* title;  // the scale as the title names it
};

void PrintTo(const Loss& loss, std::ostream* out) { *out << loss.name; }

class ReconnectTest : public ::testing::TestWithParam<Loss> {
protected:
    ProgramFolder folder{std::string("reconnect-") + GetParam().name};
    Boxes boxes;
    std::unique_ptr<ScaleSim> scale;
    std::unique_ptr<CPesavoDlg> dlg;
    std::string where;  // the link path, or the TCP port

    void TearDown() override {
        dlg.reset();
        if (scale) scale->Signal(SIGCONT);  // (a stopped process would not end)
    }
    void Plug() {
        std::vector<std::string> args = GetParam().scale;
        if (GetParam().tcp) args.insert(args.end(), {"--tcp", where.empty() ? "0" : where});
        else args.insert(args.end(), {"--link", folder.File("com5")});
        scale = std::make_unique<ScaleSim>(args);
        if (GetParam().tcp && where.empty()) where = scale->Device().substr(scale->Device().rfind(':') + 1);
    }
    // The line goes; the scale is brought back later by Back().
    void Lose() {
        switch (GetParam().how) {
            case Loss::How::Unplug: case Loss::How::ServerCloses: scale->Stop(); break;
            case Loss::How::Die: scale->End(SIGKILL); break;  // its device path is left behind, dead
            case Loss::How::Silence: scale->Signal(SIGSTOP); break;
        }
    }
    void Back() {
        if (GetParam().how == Loss::How::Silence) scale->Signal(SIGCONT);
        else Plug();
    }
    void Reconnect(bool on) {
        folder.WriteFile("Setting.ini", std::string("[Language_Configuration]\r\nLanguage_FileName=\\English.ini\r\n"
                                                    "Language_Name=English\r\n[Connection]\r\nReconnect=") + (on ? "1" : "0") + "\r\n");
    }
    int Rows() { return dlg->Model().rowCount(); }
    QString Caption() { return Item<QPushButton>(*dlg, CPesavoDlg::IDC_CONNECT)->text(); }
};

TEST_P(ReconnectTest, TheScaleIsWaitedForAndTakenBackOrClosedAndSearchedFor) {
    const Loss& loss = GetParam();
    Plug();
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM5=" + (loss.tcp ? scale->Device() : folder.File("com5")) + "\r\n");
    Reconnect(true);
    dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
    dlg->OnInitDialog();
    dlg->show();
    desk::Desk& desk = dlg->GetDesk();
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    ASSERT_TRUE(RunUntil([&] { return Rows() >= 2; }, 30s));
    const QString connected = dlg->windowTitle();
    EXPECT_TRUE(connected.contains(QString(loss.title) + " COM5")) << connected.toStdString();

    // Reconnect=1: nothing asked, the table kept, the waiting shown, the port tried every second.
    Lose();
    ASSERT_TRUE(RunUntil([&] { return desk.Waiting(); }, 15s));
    const int before = Rows();
    EXPECT_FALSE(desk.Connected());
    EXPECT_EQ(dlg->windowTitle(), connected + QStringLiteral(" \u2014 waiting for the scale"));
    EXPECT_TRUE(Caption().contains("Waiting for the scale")) << Caption().toStdString();
    ASSERT_TRUE(RunUntil([&] { return desk.Link().Retries() >= 3; }, 15s));
    EXPECT_TRUE(desk.Waiting());
    EXPECT_EQ(boxes.CountStartingWith(QString()), 0) << "a box was shown";
    Back();
    ASSERT_TRUE(RunUntil([&] { return desk.Connected(); }, 15s));
    EXPECT_EQ(dlg->windowTitle(), connected);
    EXPECT_FALSE(Caption().contains("Waiting")) << Caption().toStdString();
    // The rows go on in the same table, numbered on.
    ASSERT_TRUE(RunUntil([&] { return Rows() >= before + 2; }, 30s));
    EXPECT_EQ(QString::fromStdU16String(std::u16string(dlg->Model().Text(before, MeasurementModel::Number))).trimmed().toInt(), before + 1);
    EXPECT_EQ(boxes.CountStartingWith(QString()), 0) << "a box was shown";

    // Without it: the question about the rows; Esc keeps them, but the dead line is closed, and
    // the Test mode's search takes the scale up once it is back.
    Reconnect(false);
    boxes.answer = CMyMsg::IdCancel;
    Lose();
    ASSERT_TRUE(RunUntil([&] { return boxes.Shown(LanguageText(*dlg, u"Message", u"Port_Close")); }, 15s));
    ASSERT_TRUE(RunUntil([&] { return desk.Link().TestMode(); }, 5s));
    EXPECT_FALSE(desk.Connected());
    EXPECT_FALSE(desk.Waiting());
    EXPECT_FALSE(dlg->windowTitle().contains("COM5")) << dlg->windowTitle().toStdString();
    const int kept = Rows();
    EXPECT_GE(kept, before + 2);
    Back();
    ASSERT_TRUE(RunUntil([&] { return desk.Connected(); }, 20s));
    ASSERT_TRUE(RunUntil([&] { return Rows() > kept; }, 30s));
}

const std::vector<std::string> kSixBytes = {"--interval", "100"};
const std::vector<std::string> kParcels = {"--parcels", "1.250,0.730,2.100,0.915,3.500,1.125,0.640,2.250,1.800,0.420,1.333,2.050",
                                           "--hold", "400", "--loaded"};

std::vector<std::string> With(const char* protocol, std::vector<std::string> args) {
    args.insert(args.begin(), {"--protocol", protocol});
    return args;
}

INSTANTIATE_TEST_SUITE_P(EachWay, ReconnectTest,
                         ::testing::Values(Loss{"unplugged", kSixBytes, false, Loss::How::Unplug, "six-byte"},
                                           Loss{"reads-fail", kSixBytes, false, Loss::How::Die, "six-byte"},
                                           Loss{"polled-silent", With("8217", kParcels), false, Loss::How::Silence, "8217"},
                                           Loss{"server-closes", With("sics", kParcels), true, Loss::How::ServerCloses, "MT-SICS"}),
                         [](const auto& info) { std::string n = info.param.name; std::replace(n.begin(), n.end(), '-', '_'); return n; });

}  // namespace
