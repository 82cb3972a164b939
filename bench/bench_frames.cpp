// Cost of decoding one frame into a row, early and late in a table, and the memory a full table
// (65,001 rows) takes. Runs the real window offscreen, its desk connected to a simulated scale.
// Where libpq is there, also what sending to a site's database costs the desk, against a
// PostgreSQL server of the benchmark's own.
#include "CPesavoDlg.h"
#include "Journal.h"
#include "platform/ModulePath.h"
#include "platform/PortList.h"
#include "../tests/support/Boxes.h"
#include "../tests/support/EventLoop.h"
#include "../tests/support/FreePort.h"
#ifdef PESAVO_BENCH_SITE
#include "../tests/support/PostgresCluster.h"
#endif
#include "../tests/support/ScaleSim.h"
#ifdef PESAVO_BENCH_SERVICE
#include "../tests/support/ServiceClient.h"
#include <netinet/in.h>
#include <sys/socket.h>
#endif
#include "../tests/support/Window.h"

#include <QAbstractButton>
#include <QComboBox>

#include <QApplication>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <malloc.h>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace {

const std::uint8_t kFrame[6] = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

// The process's peak resident memory since the last ResetPeak (Linux: VmHWM).
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The operator of every window here: each question answered No, the save dialog with savePath.
Boxes& Operator() {
    static Boxes boxes;
    return boxes;
}

// A scratch program folder (the language files and settings of the built program, a device map
// for the simulated scale) and a data folder for the journal, both on the machine's disk.
struct Scratch {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("pesavo-bench-" + std::to_string(getpid()));
    Scratch() {
        const std::filesystem::path program = platform::ModuleDirectory();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "sys-class-tty");
        std::filesystem::copy(program / "Language", dir / "Language", std::filesystem::copy_options::recursive);
        std::filesystem::copy_file(program / "Setting.ini", dir / "Setting.ini");
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    platform::ProgramPlaces Places() const { return {dir.string() + "/", (dir / "sys-class-tty").string()}; }
    std::string Data() const { return (dir / "data").string(); }
};

// A window connected to a simulated scale that sends nothing of its own: the benchmark hands its
// desk the line's batches itself, as the serial engine does. Its row limit is out of reach, so a
// full table is only a table of 65,001 rows.
struct ConnectedWindow {
    Scratch scratch;
    ScaleSim sim{{"--count", "0", "--interval", "100000"}};
    std::unique_ptr<CPesavoDlg> dlg;
    // `prepare` may add to the program folder first; with `journal` the window keeps one.
    explicit ConnectedWindow(std::function<void(const Scratch&)> prepare = nullptr, bool journal = false) {
        std::ofstream(scratch.dir / "SerialComm.ini") << "[SerialComm]\r\nCOM6=" << sim.Device() << "\r\n";
        if (prepare) prepare(scratch);
        desk::Options options;
        options.places = scratch.Places();
        if (journal) options.journalFolder = scratch.Data();
        options.lastRow = 1000000;
        dlg = std::make_unique<CPesavoDlg>(nullptr, &Operator(), options);
        dlg->OnInitDialog();
        Ports(*dlg)->setCurrentIndex(1);
        Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
        RunUntil([&] { return dlg->GetDesk().Connected(); }, std::chrono::seconds(5));
    }
    ~ConnectedWindow() { dlg.reset(); }  // before its scale goes
    void Feed(int frames) {
        for (int i = 0; i < frames; ++i) dlg->GetDesk().OnSerialData(kFrame, 6);
    }
};

// 1000 frames decoded and appended after `range(0)` rows already in the table.
void BM_FramesAfterRows(benchmark::State& state) {
    const int before = static_cast<int>(state.range(0));
    for (auto _ : state) {
        ConnectedWindow w;
        w.Feed(before);
        const auto start = std::chrono::steady_clock::now();
        w.Feed(1000);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FramesAfterRows)->Arg(1000)->Arg(64000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Memory taken by the rows of a full table, every row decoded from a frame.
void BM_FullTableMemory(benchmark::State& state) {
    for (auto _ : state) {
        const long start = ResidentKiB();
        ConnectedWindow w;
        w.Feed(65001);
        state.counters["rows"] = w.dlg->Model().rowCount();
        state.counters["growth_MiB"] = static_cast<double>(ResidentKiB() - start) / 1024;
    }
}
BENCHMARK(BM_FullTableMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// Each iteration switches the window's table to the next unit, progress dialog included.
void TimeUnitChanges(benchmark::State& state, CPesavoDlg& dlg) {
    int unit = 0;
    for (auto _ : state) {
        unit = (unit + 1) % 3;
        const auto start = std::chrono::steady_clock::now();
        Button(dlg, CPesavoDlg::IDC_UNIT_KG + unit)->click();
        RunUntil([&] { return !dlg.GetDesk().Busy(); }, std::chrono::seconds(60));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["rows"] = dlg.Model().rowCount();
}

// Switching a full table to another unit, progress dialog included.
void BM_ConvertFullTable(benchmark::State& state) {
    ConnectedWindow w;
    w.Feed(65001);
    TimeUnitChanges(state, *w.dlg);
}
BENCHMARK(BM_ConvertFullTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

// Saving a full table from the window: texts fetched from the table, workbook built and written,
// saved rows removed; the progress dialog included. Also the memory the save takes beyond the
// table's (the peak during the save over what was resident before it), beside the file's size.
void BM_ExportFullTable(benchmark::State& state) {
    const QString path = QStringLiteral("/tmp/pesavo-bench-export-%1.xls").arg(QCoreApplication::applicationPid());
    Operator().savePath = path;
    for (auto _ : state) {
        state.PauseTiming();
        ConnectedWindow w;
        w.Feed(65001);
        malloc_trim(0);  // memory freed earlier goes back, so that the save's own shows
        const long before = ResidentKiB();
        ResetPeak();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        w.dlg->OnSaveTable();
        RunUntil([&] { return w.dlg->Model().rowCount() == 0 || !w.dlg->GetDesk().Busy(); }, std::chrono::seconds(60));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["save_extra_MiB"] = static_cast<double>(PeakKiB() - before) / 1024;
        std::ifstream file(path.toLocal8Bit().constData(), std::ios::binary | std::ios::ate);
        state.counters["file_MiB"] = static_cast<double>(file.tellg()) / (1 << 20);
        if (w.dlg->Model().rowCount() != 0) state.SkipWithError("the table was not saved");
    }
    std::remove(path.toLocal8Bit().constData());
    Operator().savePath.clear();
}
BENCHMARK(BM_ExportFullTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// ---- with the journal ----

#ifdef PESAVO_BENCH_SITE
// The site's server, started on first use: Pesavo's schema and a desk login whose password is in
// a libpq password file.
PostgresCluster& SiteServer() {
    static PostgresCluster server;
    static const bool made = [] {
        if (server.Error().empty()) server.MakeSite({{"bench", "bench-secret"}}, {{"bench", {"bench"}}});
        return true;
    }();
    (void)made;
    return server;
}
// Points the program in `scratch` at the site.
void SendToSite(const Scratch& scratch) {
    PostgresCluster& server = SiteServer();
    std::ofstream(scratch.dir / "Site.ini") << "[Site]\r\nDatabase=" << server.Connection("bench") << " passfile="
                                            << server.WritePassFile("pgpass", {{"bench", "bench-secret"}}) << "\r\nDesk=bench\r\n";
}
#endif

// Frames per second through the whole program over a pseudo-terminal, from the simulated scale's
// first weighing to its 3,000th answered, without the journal (0), with it (1): every row
// committed and synced to the disk before its answer, with the journal sending to a site's
// database (2), and with the journal and the local weight service streaming every weighing to 64
// clients (3).
void BM_FramesOverPty(benchmark::State& state) {
    constexpr int kFrames = 3000;
    for (auto _ : state) {
        Scratch scratch;
        {
            std::ofstream frames(scratch.dir / "frames.txt");
            for (int i = 0; i < kFrames; ++i) frames << "5F 02 00 04 D2 8B\n";
        }
        ScaleSim sim({"--interval", "0", "--frames", (scratch.dir / "frames.txt").string()});
        std::ofstream(scratch.dir / "SerialComm.ini") << "[SerialComm]\r\nCOM6=" << sim.Device() << "\r\n";
#ifdef PESAVO_BENCH_SITE
        if (state.range(0) == 2) SendToSite(scratch);
#endif
#ifdef PESAVO_BENCH_SERVICE
        const int port = state.range(0) == 3 ? FreePort() : 0;
        if (port) std::ofstream(scratch.dir / "Service.ini") << "[Service]\r\nPort=" << port << "\r\nToken=bench-token\r\n";
#endif
        auto dlg = std::make_unique<CPesavoDlg>(nullptr, &Operator(), scratch.Places());
        if (state.range(0)) dlg->SetJournalFolder(scratch.Data());
        dlg->OnInitDialog();
#ifdef PESAVO_BENCH_SERVICE
        std::vector<std::unique_ptr<StreamClient>> clients;
        for (int c = 0; port && c < 64; ++c) clients.push_back(std::make_unique<StreamClient>(port, "/v1/stream?after=0&token=bench-token", false, false));
#endif
        Ports(*dlg)->setCurrentIndex(1);
        Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
        const bool first = RunUntil([&] { return dlg->Model().rowCount() >= 1; }, std::chrono::seconds(10));
        const auto start = std::chrono::steady_clock::now();
        const bool all = first && RunUntil([&] { return dlg->Model().rowCount() >= kFrames; }, std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["frames_per_s"] = (kFrames - 1) / seconds;
        const bool journalled = dlg->GetDesk().JournalOn();
#ifdef PESAVO_BENCH_SERVICE
        bool streamed = true;
        for (const auto& client : clients) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            // (the state message, then every weighing)
            while (client->Count() <= static_cast<std::size_t>(kFrames) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            streamed = streamed && client->Count() > static_cast<std::size_t>(kFrames);
        }
        if (!streamed) state.SkipWithError("a stream client missed weighings");
#endif
        dlg.reset();
        if (!all) state.SkipWithError("not every frame arrived");
        else if (state.range(0) && !journalled) state.SkipWithError("the journal is off");
    }
}
BENCHMARK(BM_FramesOverPty)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
#ifdef PESAVO_BENCH_SERVICE
// The service on and off by turns, in one run.
BENCHMARK(BM_FramesOverPty)->Arg(3)->Arg(1)->Arg(3)->Arg(1)->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
#endif
#ifdef PESAVO_BENCH_SITE
BENCHMARK(BM_FramesOverPty)->Arg(2)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// Rows per second into the site while a desk catches up after an outage: 20,000 weighings
// journalled while the server was down, then the server back; counted at the server from the
// first batch it took to the last.
void BM_SiteCatchUp(benchmark::State& state) {
    constexpr int kRows = 20000;
    PostgresCluster& server = SiteServer();
    for (auto _ : state) {
        state.PauseTiming();
        server.Sql("truncate pesavo.weighings");
        server.Stop();
        ConnectedWindow w(SendToSite, true);
        w.Feed(kRows);
        server.Start();
        PGconn* watch = PQconnectdb(("host=" + server.Folder() + " port=" + std::to_string(server.Port()) +
                                     " user=postgres dbname=postgres").c_str());
        const auto atSite = [&] {
            PGresult* res = PQexec(watch, "select count(*) from pesavo.weighings");
            const int n = PQresultStatus(res) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(res, 0, 0)) : -1;
            PQclear(res);
            return n;
        };
        int first = 0;
        RunUntil([&] { return (first = atSite()) > 0; }, std::chrono::seconds(60));
        const auto start = std::chrono::steady_clock::now();
        const bool all = RunUntil([&] { return atSite() >= kRows; }, std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["rows_per_s"] = (kRows - first) / seconds;
        PQfinish(watch);
        if (!all) state.SkipWithError("not every row reached the site");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SiteCatchUp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
#endif

// A unit change of a full table (65,001 rows) whose journal follows it: the rows come back from
// a journal an earlier run left, and every conversion rewrites their texts there too.
void BM_ConvertJournalledTable(benchmark::State& state) {
    Scratch scratch;
    {
        journal::Journal::Opening opening = journal::Journal::Open(scratch.Data());
        weighing::MeasurementTable table;
        table.SetLog(opening.journal.get());
        for (int i = 0; i < 65001; ++i)
            table.Append({weighing::NumberText(static_cast<std::size_t>(i)), u"123.4", u"KG", u"00:00:01", u"14:05:09 12/07/2026", u""},
                         {weighing::RowKind::Weight, 123.4, 1});
        opening.journal->Commit();
        table.SetLog(nullptr);
    }
    Operator().answer = CMyMsg::IdYes;  // put them back
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &Operator(), scratch.Places());
    dlg->SetJournalFolder(scratch.Data());
    dlg->OnInitDialog();
    RunUntil([&] { return dlg->Model().rowCount() == 65001; }, std::chrono::seconds(60));
    Operator().answer = CMyMsg::IdNo;
    if (dlg->Model().rowCount() != 65001 || !dlg->GetDesk().JournalOn()) state.SkipWithError("the table did not come back");
    TimeUnitChanges(state, *dlg);
    dlg.reset();
}
BENCHMARK(BM_ConvertJournalledTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
