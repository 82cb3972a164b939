// Pulled out from under the operator: Pesavo, offscreen, connected to a simulated scale over a
// pseudo-terminal, is killed (SIGKILL) again and again — at random moments, right after a save
// was started and right after a unit change was — and started again each time, the operator
// answering Yes to putting the unsaved weighings back. In the end every weighing the scale heard
// answered is in a saved workbook or in the table: once, in order, with its weight in its row's
// unit; nothing the scale did not hear answered is anywhere.
//
// The program runs in child processes of this test (this executable with --operate), each a
// window with its journal, driven through its buttons and message boxes like any window test.
#include "CPesavoDlg.h"
#include "FrameDecoder.h"
#include "platform/ModulePath.h"
#include "platform/PortList.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/NumberedFrames.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/inotify.h>

namespace {

using namespace std::chrono_literals;

// ---- the program, in a child process ----

// One run: the window with its journal in `data`, restoring what it finds, connected to COM6.
// Every 120 ms it switches the unit or saves (each announced on standard output first); with
// `dumpTo` it waits for a few weighings, writes the table there and ends.
int Operate(const std::string& program, const std::string& data, const std::string& run, const std::string& dumpTo) {
    Boxes boxes;
    boxes.answer = CMyMsg::IdYes;  // restore: Yes
    int saves = 0;
    boxes.onSave = [&](const QString&) {
        return QString::fromStdString(program + "saved-" + run + "-" + std::to_string(saves++) + ".xls");
    };
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, platform::ProgramPlaces{program, program + "sys-class-tty"});
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    if (!dlg->GetDesk().JournalOn()) return 3;
    // What the journal held is back (or the question is still open after a long while).
    RunUntil([&] { return !dlg->GetDesk().QuestionOpen(); }, 20s);
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    if (!dumpTo.empty()) {
        // Connected, and the scale's first weighings handled (a weighing it sends again because
        // it never heard the answer is recognised among them).
        const int before = dlg->Model().rowCount();
        if (!RunUntil([&] { return dlg->GetDesk().Connected() && dlg->Model().rowCount() >= before + 3; }, 20s)) return 4;
        if (!dlg->GetDesk().SerialLine().WaitForSent(2s)) return 6;  // the last row's answer is on the line too
        std::ofstream out(dumpTo, std::ios::binary);
        for (int r = 0; r < dlg->Model().rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < MeasurementModel::kColumns; ++c) cells << QString::fromStdU16String(std::u16string(dlg->Model().Text(r, c)));
            out << cells.join('|').toStdString() << '\n';
        }
        out.close();
        std::_Exit(out ? 0 : 5);  // as abruptly as the others end
    }
    int unit = 0, tick = 0;
    QTimer actions;
    QObject::connect(&actions, &QTimer::timeout, [&] {
        if (dlg->GetDesk().Busy() || !dlg->GetDesk().Connected()) return;
        if (++tick % 2) {
            unit = (unit + 1) % 3;
            std::printf("unit\n");
            Button(*dlg, CPesavoDlg::IDC_UNIT_KG + unit)->click();
        } else {
            std::printf("save\n");
            Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
        }
    });
    actions.start(120);
    QApplication::exec();
    return 0;
}

// ---- the test ----

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


TEST(JournalCrashTest, EveryAnsweredWeighingSurvivesKillsDuringWeighingsSavesAndUnitChanges) {
    ProgramFolder folder("crash");
    folder.WriteSettings("\\English.ini", "English");
    folder.WriteFile("frames.txt", NumberedFramesScript(8000));
    ScaleSim scale({"--frames", folder.File("frames.txt"), "--interval", "1"});
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scale.Device() + "\r\n");
    const std::string data = folder.File("data");
    const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
    std::mt19937 random(seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::printf("seed %u\n", seed);

    // Each run is killed: after some weighings; right after it started a save; the moment a
    // saved file appears (between the file going into place and the rows leaving the journal);
    // or right after it started a unit change — each after a random moment more.
    constexpr int kRuns = 12;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, folder.Path().c_str(), IN_MOVED_TO), 0);
    auto savedFileAppeared = [&] {
        alignas(inotify_event) char buffer[4096];
        bool saved = false;
        for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;)
            for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                saved = saved || std::string(reinterpret_cast<inotify_event*>(p)->name).rfind("saved-", 0) == 0;
        return saved;
    };
    for (int run = 0; run < kRuns; ++run) {
        Program program({"--operate", folder.Path(), data, std::to_string(run)});
        const int target = scale.Count("rx 9F") + 30 + static_cast<int>(random() % 200);
        ASSERT_TRUE(PollUntil([&] { return scale.Count("rx 9F") >= target; }, 60s)) << "run " << run << ": the scale is not answered";
        switch (run % 4) {
            case 1:
            case 3: {
                const char* word = run % 4 == 1 ? "save" : "unit";
                const int seen = program.Count(word);
                ASSERT_TRUE(PollUntil([&] { return program.Count(word) > seen; }, 20s)) << "run " << run << ": no " << word;
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                break;
            }
            case 2:
                savedFileAppeared();  // (files of earlier runs)
                ASSERT_TRUE(PollUntil(savedFileAppeared, 20s)) << "run " << run << ": no file saved";
                break;
            default:
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
        }
        ASSERT_TRUE(program.Running()) << "run " << run << " ended by itself";
        program.Kill();
    }
    close(watch);

    // The last run puts the rest back, takes up the scale and shows its table.
    const std::string dump = folder.File("table.txt");
    Program last({"--operate", folder.Path(), data, "last", dump});
    ASSERT_EQ(last.Wait(), 0);

    std::vector<std::pair<std::string, QStringList>> files;  // (saved file, its rows), in the order they were saved
    for (const auto& e : std::filesystem::directory_iterator(folder.Path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("saved-", 0) == 0) files.emplace_back(name, QStringList());
    }
    auto order = [](const std::string& name) {  // saved-RUN-N.xls
        const std::size_t dash = name.find('-', 6);
        return std::make_pair(std::stoi(name.substr(6, dash - 6)), std::stoi(name.substr(dash + 1)));
    };
    std::sort(files.begin(), files.end(), [&](const auto& a, const auto& b) { return order(a.first) < order(b.first); });
    std::vector<QStringList> rows;
    for (auto& [name, lines] : files) {
        lines = ReadBack(QString::fromStdString(folder.File(name))).split('\n', Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), 2) << name << " is not a workbook xlrd reads";
        for (qsizetype i = 1; i + 1 < lines.size(); ++i) rows.push_back(lines[i].split('|'));
    }
    const int inFiles = static_cast<int>(rows.size());
    QFile table(QString::fromStdString(dump));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    for (const QString& line : QString::fromUtf8(table.readAll()).split('\n', Qt::SkipEmptyParts)) rows.push_back(line.split('|'));

    // One row per answered weighing, in order: the scale hears no answer it is not owed. The one
    // exception is said in the row: a weighing journalled just before a kill whose answer never
    // left is sent again by the scale, and the row of the repeat says it may be one (nothing is
    // dropped on a guess).
    const int answered = scale.Count("rx 9F");
    EXPECT_TRUE(PollUntil([&] { return scale.Count("rx 9F") >= answered; }, 5s));
    EXPECT_EQ(scale.Count("rx F9"), 0);
    int next = 0, repeats = 0, wrong = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const QStringList& cells = rows[r];
        // (Every weighing's bytes differ: a row marked as maybe sent again is a repeat.)
        const bool marked = cells.size() > 5 && cells[5].startsWith("Maybe sent again");
        if (!marked && ShowsNumberedFrame(cells, next)) {
            ++next;
        } else if (marked && next > 0 && ShowsNumberedFrame(cells, next - 1)) {
            ++repeats;
        } else if (++wrong <= 5) {
            ADD_FAILURE() << "row " << r << " (weighing " << next << " expected): " << cells.join('|').toStdString()
                          << (r > 1 ? "\n after " + rows[r - 2].join('|').toStdString() + "\n and " + rows[r - 1].join('|').toStdString() : std::string())
                          << (r + 1 < rows.size() ? "\n before " + rows[r + 1].join('|').toStdString() : std::string());
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(next, scale.Count("rx 9F")) << files.size() << " files, " << inFiles << " rows in them";
    EXPECT_LE(repeats, kRuns);
    EXPECT_GE(files.size(), 3u);  // the saves were real ones
    std::printf("crash: %d kills, %d weighings answered, %zu saved files holding %d rows, %zu rows back in the table, %d marked "
                "as maybe sent again\n", kRuns, next, files.size(), inFiles, rows.size() - static_cast<std::size_t>(inFiles), repeats);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc >= 5 && std::string(argv[1]) == "--operate") {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        app.setQuitOnLastWindowClosed(false);  // as the program's own: a closing dialog does not end it
        return Operate(argv[2], argv[3], argv[4], argc >= 6 ? argv[5] : "");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
