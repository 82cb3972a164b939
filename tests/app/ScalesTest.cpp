// The scales packing desks have, end to end: Pesavo, offscreen, searches two ports — a line where
// nothing answers, then a simulated scale of each kind (on a pseudo-terminal, and once behind a
// network serial server) with a parcel already on its pan. The parcels become one row each with
// their weights, no probe ever zeroes the scale, the program is killed, and the next start puts
// the rows back from its journal and saves them into a workbook that Debian's xlrd reads.
//
// The program runs in child processes of this test (this executable with --weigh), each a
// window with its journal, driven through its buttons and message boxes like any window test.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// ---- the program, in a child process ----

// Without `dumpTo`: searches every port and says "rows N" once the table holds `rows` rows,
// then weighs on until it is killed. With it: puts back what the journal holds, writes the
// table there, saves it as `saveAs` and ends.
int Weigh(const std::string& program, const std::string& data, int rows, const std::string& dumpTo, const std::string& saveAs) {
    Boxes boxes;
    boxes.answer = CMyMsg::IdYes;  // put the rows back: Yes
    boxes.onSave = [&](const QString&) { return QString::fromStdString(saveAs); };
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, platform::ProgramPlaces{program, program + "sys-class-tty"});
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    if (!dlg->GetDesk().JournalOn()) return 3;
    RunUntil([&] { return !dlg->GetDesk().QuestionOpen(); }, 20s);
    if (!dumpTo.empty()) {
        std::ofstream out(dumpTo, std::ios::binary);
        for (int r = 0; r < dlg->Model().rowCount(); ++r)
            out << QString::fromStdU16String(std::u16string(dlg->Model().Text(r, weighing::kData))).toStdString() << '\n';
        Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
        if (!RunUntil([&] { return dlg->Model().rowCount() == 0 && !dlg->GetDesk().Busy(); }, 20s)) return 4;
        return out ? 0 : 5;
    }
    Ports(*dlg)->setCurrentIndex(0);  // search every port
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    if (!RunUntil([&] { return dlg->Model().rowCount() >= rows; }, 60s)) return 6;
    std::printf("rows %d\n", dlg->Model().rowCount());
    std::printf("title %s\n", dlg->windowTitle().toStdString().c_str());
    RunUntil([] { return false; }, 1h);
    return 0;
}

// A child run of the program (this executable), its announcements collected.
class Program : public ChildProcess {
public:
    explicit Program(std::vector<std::string> args) : ChildProcess(WithProgram(std::move(args))) {}
    void Kill() { End(SIGKILL); }

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args) {
        args.insert(args.begin(), "/proc/self/exe");
        return args;
    }
};

struct Kind {
    const char* protocol;
    const char* unit;  // what the scale shows its weights in
    bool tcp;          // behind a network serial server
    const char* title;  // the kind as the title names it
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.protocol << (kind.tcp ? " over TCP" : "") << " in " << kind.unit; }

class ScalesTest : public ::testing::TestWithParam<Kind> {};

// The Data texts of 1.250 kg, an overload and 0.730 kg, shown in kilograms (English): a scale in
// pounds sends them with two decimals (2.76 lb, 1.61 lb), which the table keeps.
std::vector<std::string> Expected(const Kind& kind) {
    if (std::string(kind.unit) == "lb") return {"1.25", "Overweight", "0.73"};
    return {"1.250", "Overweight", "0.730"};
}

TEST_P(ScalesTest, TheSearchFindsTheScaleItsParcelsAreOneRowEachAndComeBackAfterAKill) {
    const Kind kind = GetParam();
    ProgramFolder folder(std::string("scales-") + kind.protocol + (kind.tcp ? "-tcp" : ""));
    folder.WriteSettings("\\English.ini", "English");
    ScaleSim nothing({"--silent"});
    std::vector<std::string> args = {"--protocol", kind.protocol, "--unit", kind.unit, "--parcels", "1.250,over,0.730",
                                      "--loaded", "--hold", "2500"};
    if (kind.tcp) args.insert(args.end(), {"--tcp", "0"});
    ScaleSim scale(args);
    ASSERT_FALSE(scale.Device().empty());
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM11=" + nothing.Device() + "\r\nCOM12=" + scale.Device() + "\r\n");
    const std::string data = folder.File("data");

    Program weigh({"--weigh", folder.Path(), data, "3"});
    std::vector<std::string> lines;
    const auto title = [&lines] {
        return std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("title ", 0) == 0; });
    };
    ASSERT_TRUE(PollUntil([&] { return (lines = weigh.Lines(), title() != lines.end()); }, 60s)) << "the parcels did not become rows";
    EXPECT_EQ(weigh.Count("rows 3"), 1);
    EXPECT_EQ(scale.Count("zeroed"), 0) << "a probe zeroed the scale";
    EXPECT_NE(title()->find(std::string(kind.title) + " COM12"), std::string::npos) << *title();
    weigh.Kill();

    const std::string dump = folder.File("table.txt"), saved = folder.File("saved.xls");
    Program back({"--weigh", folder.Path(), data, "0", dump, saved});
    ASSERT_EQ(back.Wait(), 0);
    std::vector<std::string> rows;
    std::ifstream in(dump);
    for (std::string line; std::getline(in, line);) rows.push_back(line);
    ASSERT_EQ(rows, Expected(kind));
    const QStringList book = ReadBack(QString::fromStdString(saved)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(book.size(), 5) << book.join('\n').toStdString();  // the titles, three rows, the header's font
    for (int r = 0; r < 3; ++r) EXPECT_EQ(book[r + 1].split('|').value(1).toStdString(), rows[static_cast<std::size_t>(r)]);
    EXPECT_EQ(scale.Count("zeroed"), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, ScalesTest,
                         ::testing::Values(Kind{"8217", "kg", false, "8217"}, Kind{"sics", "kg", false, "MT-SICS"},
                                           Kind{"print", "lb", false, "continuous print"}, Kind{"sics", "kg", true, "MT-SICS"}),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.protocol == std::string("8217") ? "Polled8217" : info.param.protocol) +
                                    (info.param.tcp ? "OverTcp" : "");
                         });

// The figures of the README: how long the search takes over 19 ports, with no scale and with a
// scale of each kind on the last one (the other 18 are lines where nothing answers). Run by hand:
//   build/bin/scales_tests --gtest_also_run_disabled_tests --gtest_filter='*SearchOver*'
TEST(ScalesSearch, DISABLED_SearchOverNineteenPorts) {
    std::vector<int> silent;
    std::string map = "[SerialComm]\r\n";
    std::string last;  // the 19th port when no scale is there
    for (int i = 0; i < 19; ++i) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        silent.push_back(master);
        (i < 18 ? map : last) += "COM" + std::to_string(11 + i) + "=" + ptsname(master) + "\r\n";
    }
    for (const char* protocol : {"", "frame6", "print", "8217", "sics"}) {
        ProgramFolder folder("search");
        folder.WriteSettings("\\English.ini", "English");
        std::unique_ptr<ScaleSim> scale;
        std::string ports = map + last;
        if (*protocol) {
            scale = std::make_unique<ScaleSim>(std::vector<std::string>{"--protocol", protocol, "--count", "0"});
            ports = map + "COM29=" + scale->Device() + "\r\n";
        }
        folder.WriteFile("SerialComm.ini", ports);
        Boxes boxes;
        auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, folder.Places());
        dlg->OnInitDialog();
        ASSERT_EQ(Ports(*dlg)->count(), 20);
        QElapsedTimer t;
        t.start();
        Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
        const QString failed = LanguageText(*dlg, u"Message", u"Auto_Error");
        ASSERT_TRUE(RunUntil([&] { return dlg->GetDesk().Connected() || boxes.Shown(failed); }, 120s));
        std::printf("search: %s over %d ports: %.1f s, %s\n", *protocol ? protocol : "no scale", Ports(*dlg)->count() - 1,
                    static_cast<double>(t.elapsed()) / 1000, dlg->GetDesk().Connected() ? "connected" : "Auto_Error");
        dlg.reset();
    }
    for (int fd : silent) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc >= 5 && std::string(argv[1]) == "--weigh") {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        app.setQuitOnLastWindowClosed(false);
        return Weigh(argv[2], argv[3], std::atoi(argv[4]), argc >= 7 ? argv[5] : "", argc >= 7 ? argv[6] : "");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
