// Cost of decoding one frame into a row, early and late in a table, and the memory a full table
// (65,001 rows) takes. Runs the real window offscreen.
#include "CPesavoDlg.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <chrono>
#include <malloc.h>
#include <cstdio>
#include <fstream>
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

std::unique_ptr<CPesavoDlg> NewWindow() {
    auto dlg = std::make_unique<CPesavoDlg>();
    dlg->OnInitDialog();
    dlg->m_bConnected = true;
    return dlg;
}

// 1000 frames decoded and appended after `range(0)` rows already in the table.
void BM_FramesAfterRows(benchmark::State& state) {
    const int before = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto dlg = NewWindow();
        for (int i = 0; i < before; ++i)
            dlg->Model().AppendRow({u"       1", u"123.4", u"KG", u"00:00:01", u"14:05:09 12/07/2026", u""});
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            dlg->OnSerialData(kFrame, 6);
            dlg->m_SerialPort.PendingBytes();
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FramesAfterRows)->Arg(1000)->Arg(64000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Memory taken by the rows of a full table, every row but the last decoded from a frame.
std::unique_ptr<CPesavoDlg> FullWindow();
void BM_FullTableMemory(benchmark::State& state) {
    for (auto _ : state) {
        const long start = ResidentKiB();
        auto dlg = FullWindow();
        state.counters["rows"] = dlg->Model().rowCount();
        state.counters["growth_MiB"] = static_cast<double>(ResidentKiB() - start) / 1024;
    }
}
BENCHMARK(BM_FullTableMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// A full table of 65,001 decoded rows (the last appended directly, as the decoder would end the
// connection at it).
std::unique_ptr<CPesavoDlg> FullWindow() {
    auto dlg = NewWindow();
    for (int i = 0; i < 65000; ++i) dlg->OnSerialData(kFrame, 6);
    dlg->m_SerialPort.PendingBytes();
    dlg->Model().AppendRow({u"   65001", u"123.4", u"KG", u"00:00:01", u"14:05:09 12/07/2026", u""},
                           {weighing::RowKind::Weight, 123.4, 355});
    return dlg;
}

// Switching a full table to another unit, progress dialog included.
void BM_ConvertFullTable(benchmark::State& state) {
    auto dlg = FullWindow();
    int unit = 0;
    for (auto _ : state) {
        unit = (unit + 1) % 3;
        const auto start = std::chrono::steady_clock::now();
        dlg->OnUnit(unit);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["rows"] = dlg->Model().rowCount();
}
BENCHMARK(BM_ConvertFullTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

// Saving a full table from the window: texts fetched from the table, workbook built and written,
// saved rows removed; the progress dialog included. Also the memory the save takes beyond the
// table's (the peak during the save over what was resident before it), beside the file's size.
void BM_ExportFullTable(benchmark::State& state) {
    const QString path = QStringLiteral("/tmp/pesavo-bench-export-%1.xls").arg(QCoreApplication::applicationPid());
    CPesavoDlg::s_saveDialog = [&](const QString&) { return path; };
    for (auto _ : state) {
        state.PauseTiming();
        auto dlg = FullWindow();
        malloc_trim(0);  // memory freed earlier goes back, so that the save's own shows
        const long before = ResidentKiB();
        ResetPeak();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        dlg->OnSaveTable();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["save_extra_MiB"] = static_cast<double>(PeakKiB() - before) / 1024;
        std::ifstream file(path.toLocal8Bit().constData(), std::ios::binary | std::ios::ate);
        state.counters["file_MiB"] = static_cast<double>(file.tellg()) / (1 << 20);
        if (dlg->Model().rowCount() != 0) state.SkipWithError("the table was not saved");
    }
    std::remove(path.toLocal8Bit().constData());
    CPesavoDlg::s_saveDialog = {};
}
BENCHMARK(BM_ExportFullTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CMyMsg::SetAnswerer([](const CMyMsg::Showing&) { return CMyMsg::IdNo; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
