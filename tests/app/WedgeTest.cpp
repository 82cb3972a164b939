// The keyboard wedge end to end, on a virtual X display of the test's own (Xvfb): a small text
// window (this executable with --text) has the focus, and Pesavo (this executable with --weigh,
// a child process on that display) types what its scales weigh into it. A six-byte scale's
// weighings arrive with a comma decimal, a non-ASCII prefix and Tab after each (its error row
// not typed, its overweight row typed as the row shows it); after a kill, the next run puts the
// rows back from its journal without typing them, and an MT-SICS balance's weighings arrive in
// pounds with Enter. While Pesavo's own window has the focus nothing is typed, and that weighing
// is not typed later either.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QApplication>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <X11/Xlib.h>  // (last: its macros)
#undef KeyPress

namespace {

using namespace std::chrono_literals;

// ---- the child processes ----

// A text window with the keyboard focus inside it; prints its window and then its whole text
// (tabs and line ends as \t and \n) at every change.
int TextWindow() {
    QPlainTextEdit edit;
    edit.resize(400, 200);
    QObject::connect(&edit, &QPlainTextEdit::textChanged, [&edit] {
        const QString text = edit.toPlainText().replace('\t', "\\t").replace('\n', "\\n");
        std::printf("text %s\n", text.toUtf8().constData());
    });
    edit.show();
    edit.setFocus();
    std::printf("window %llu\n", static_cast<unsigned long long>(edit.winId()));
    return QApplication::exec();
}

// Prints "key" for every key that reaches the program.
class KeySpy : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) std::printf("key\n");
        return false;
    }
};

// Pesavo's window with `user` as the operator's settings folder: puts back what the journal
// holds, prints its window, searches every port once the file `go` is there, and prints each new
// weighing's count, each title and every key it hears until it is killed.
int Weigh(const std::string& program, const std::string& user, const std::string& data, const std::string& go) {
    KeySpy keys;
    qApp->installEventFilter(&keys);
    Boxes boxes;
    boxes.answer = CMyMsg::IdYes;  // put the rows back: Yes
    platform::ProgramPlaces places{program, program + "sys-class-tty"};
    places.userSettings = user;
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, places);
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    dlg->show();
    if (!RunUntil([&] { return !dlg->GetDesk().QuestionOpen(); }, 20s)) return 3;
    const int restored = Rows(*dlg);
    std::printf("window %llu\n", static_cast<unsigned long long>(dlg->winId()));
    if (!RunUntil([&] { return std::filesystem::exists(go); }, 60s)) return 4;
    Ports(*dlg)->setCurrentIndex(0);  // search every port
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    int weighed = 0;
    QString title;
    RunUntil(
        [&] {
            if (Rows(*dlg) - restored != weighed) std::printf("weighed %d\n", weighed = Rows(*dlg) - restored);
            if (dlg->windowTitle() != title) std::printf("title %s\n", (title = dlg->windowTitle()).toUtf8().constData());
            return false;
        },
        1h);
    return 0;
}

// ---- the test ----

class Child : public ChildProcess {
public:
    explicit Child(std::vector<std::string> args) : ChildProcess(std::move(args)) {}
    // The last line starting with `head`, without it; empty when none came within `limit`.
    std::string Last(const std::string& head, std::chrono::milliseconds limit = 20s) {
        std::string found;
        PollUntil(
            [&] {
                for (const std::string& line : Lines())
                    if (line.rfind(head, 0) == 0) found = line.substr(head.size());
                return !found.empty();
            },
            limit);
        return found;
    }
};

// Xvfb on a free display, ended so that it leaves no lock file behind.
class VirtualDisplay : public Child {
public:
    VirtualDisplay() : Child({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}) {}
    ~VirtualDisplay() { End(SIGTERM); }
};

bool Focus(const std::string& window) { return std::system(("xdotool windowfocus --sync " + window).c_str()) == 0; }

// The focus on the root window with the pointer over `window`, as when a focused dialog closes
// and X gives the focus back to the root: the keys go to the window under the pointer.
bool FocusRootOver(const std::string& window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XWarpPointer(display, 0, static_cast<::Window>(std::stoul(window)), 0, 0, 0, 0, 20, 20);
    XSetInputFocus(display, DefaultRootWindow(display), RevertToPointerRoot, CurrentTime);
    XSync(display, 0);
    XCloseDisplay(display);
    return true;
}

TEST(WedgeTest, WeighingsAreTypedIntoTheFocusedWindowInOrderOnceEachAndNeverIntoPesavo) {
    if (std::system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0)
        GTEST_SKIP() << "needs Xvfb and xdotool (scripts/deps.sh installs xvfb, xdotool)";
    VirtualDisplay display;
    const std::string number = display.Last("", 20s);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    Child text({"/proc/self/exe", "--text"});
    const std::string textWindow = text.Last("window ");
    ASSERT_FALSE(textWindow.empty());
    const auto typed = [&](const std::string& expected) {
        return PollUntil([&] { return text.Last("text ", 0s) == expected; }, 60s, 10ms);
    };

    ProgramFolder folder("wedge");
    folder.WriteSettings("\\English.ini", "English");
    const std::string user = folder.File("user") + "/", data = folder.File("data"), go = folder.File("go");
    std::filesystem::create_directories(user);
    // The operator's own Wedge.ini is read first: the one beside the program would leave it off.
    folder.WriteFile("Wedge.ini", "[Wedge]\r\nEnabled=0\r\n");
    folder.WriteFile("user/Wedge.ini", "[Wedge]\r\nEnabled=1\r\nDecimal=,\r\nPrefix=\"\xE2\x84\x96 \"\r\nSuffix=;\r\nAfter=Tab\r\n"
                                       "Kinds=weight, overweight\r\n");
    // 1.234 kg; a bad check byte twice (asked again, then an error row); -12.34 kg; overweight.
    folder.WriteFile("frames.txt", "5F 08 00 04 D2 81\n5F 02 00 04 D2 00\n5F 02 00 04 D2 00\n5F 44 00 04 D2 CD\n3F\n");
    const std::string first = "\xE2\x84\x96 1,234;\\t\xE2\x84\x96 -12,34;\\t\xE2\x84\x96 Overweight;\\t";
    {
        ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "100"});
        folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM12=" + scale.Device() + "\r\n");
        Child weigh({"/proc/self/exe", "--weigh", folder.Path(), user, data, go});
        ASSERT_FALSE(weigh.Last("window ").empty());
        ASSERT_TRUE(Focus(textWindow));
        folder.WriteFile("go", "");
        EXPECT_TRUE(typed(first)) << text.Last("text ", 0s);
        EXPECT_TRUE(weigh.WaitForLine("weighed 4", 1, 10s));
        EXPECT_NE(weigh.Last("title ").find("typing weights"), std::string::npos) << weigh.Last("title ");
        weigh.End(SIGKILL);
    }

    // Started again, the four rows come back from the journal (not typed), and the balance's
    // 1.250 kg, overload, 0.730 kg, 2.000 kg, 0.400 kg and 0.500 kg come: the overload is not
    // typed, the 2.000 kg comes while Pesavo has the focus, the 0.400 kg while the root window has
    // it with the pointer over Pesavo.
    std::filesystem::remove(go);
    folder.WriteFile("user/Wedge.ini", "[Wedge]\r\nEnabled=1\r\nUnit=lb\r\n");
    ScaleSim scale({"--protocol", "sics", "--parcels", "1.250,over,0.730,2.000,0.400,0.500", "--hold", "1500"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM12=" + scale.Device() + "\r\n");
    Child weigh({"/proc/self/exe", "--weigh", folder.Path(), user, data, go});
    const std::string pesavo = weigh.Last("window ");
    ASSERT_FALSE(pesavo.empty());
    ASSERT_TRUE(Focus(textWindow));
    folder.WriteFile("go", "");
    ASSERT_TRUE(typed(first + "2.755\\n1.608\\n")) << text.Last("text ", 0s);
    EXPECT_TRUE(weigh.WaitForLine("weighed 3", 1, 1s));
    ASSERT_TRUE(Focus(pesavo));
    ASSERT_TRUE(weigh.WaitForLine("weighed 4", 1, 30s));
    ASSERT_TRUE(scale.WaitForLine("lifted", 4, 30s));  // (the next parcel is over a second away)
    ASSERT_TRUE(FocusRootOver(pesavo));
    ASSERT_TRUE(weigh.WaitForLine("weighed 5", 1, 30s));
    ASSERT_TRUE(scale.WaitForLine("lifted", 5, 30s));
    ASSERT_TRUE(Focus(textWindow));
    ASSERT_TRUE(weigh.WaitForLine("weighed 6", 1, 30s));
    EXPECT_TRUE(typed(first + "2.755\\n1.608\\n1.102\\n")) << text.Last("text ", 0s);
    EXPECT_EQ(weigh.Count("key"), 0) << "typed into Pesavo's own window";
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc >= 2 && (std::string(argv[1]) == "--text" || std::string(argv[1]) == "--weigh")) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        if (std::string(argv[1]) == "--text") return TextWindow();
        app.setQuitOnLastWindowClosed(false);
        return argc >= 6 ? Weigh(argv[2], argv[3], argv[4], argv[5]) : 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
