// Time and peak memory of saving a full measurement table (header + 65,001 rows) as a workbook.
//
//   bench_workbook [benchmark flags]     run the benchmark
//   bench_workbook --write-tsv FILE      write the same table as UTF-8 TSV (for comparisons)
#include "WorkbookExport.h"
#include "platform/Utf.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kRows = 65001;
const char* const kTitles[exporter::kColumns] = {"Number", "Data", "Unit", "Duration", "Update_Time", "Explan"};

// A row as the program writes it: "%8d" number, a weight, the unit, duration, time of day and,
// now and then, the explanation of a bad frame.
std::vector<std::string> MakeRow(std::size_t i) {
    char number[16], weight[16], duration[16], time[32];
    std::snprintf(number, sizeof number, "%8d", static_cast<int>(i + 1));
    const long w = static_cast<long>((i * 7919) % 300000) - 20000;
    std::snprintf(weight, sizeof weight, "%.2f", static_cast<double>(w) / 100);
    std::snprintf(duration, sizeof duration, "%02d:%02d:%02d", static_cast<int>(i / 3600 % 24),
                  static_cast<int>(i / 60 % 60), static_cast<int>(i % 60));
    std::snprintf(time, sizeof time, "%02d:%02d:%02d 12/08/2026", static_cast<int>(8 + i / 3600 % 12),
                  static_cast<int>(i / 60 % 60), static_cast<int>(i % 60));
    const bool bad = i % 997 == 5;
    return {number, bad ? "Error_EX" : weight, "KG", duration, time, bad ? "数据校验错误 5F 02 00 04 D2 8A" : ""};
}

struct Table {
    std::array<std::u16string, exporter::kColumns> titles;
    std::vector<std::u16string> cells;  // row-major, six per row
};

const Table& TheTable() {
    static const Table table = [] {
        Table t;
        for (int c = 0; c < exporter::kColumns; ++c) t.titles[static_cast<std::size_t>(c)] = platform::Utf8ToUtf16(kTitles[c]);
        t.cells.reserve(kRows * exporter::kColumns);
        for (std::size_t i = 0; i < kRows; ++i)
            for (const std::string& s : MakeRow(i)) t.cells.push_back(platform::Utf8ToUtf16(s));
        return t;
    }();
    return table;
}

long g_tablePeakKiB = 0;  // peak before any save: the benchmark's own table

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_SaveFullTable(benchmark::State& state) {
    const Table& table = TheTable();
    const std::string path = "/tmp/pesavo-bench-" + std::to_string(getpid()) + ".xls";
    for (auto _ : state) {
        const exporter::SaveResult result = exporter::WriteTableWorkbook(
            path, table.titles, kRows, [&](std::size_t r, int c) -> std::u16string_view {
                return table.cells[r * exporter::kColumns + static_cast<std::size_t>(c)];
            });
        if (!result.written) state.SkipWithError("save failed");
    }
    std::remove(path.c_str());
    state.counters["rows"] = static_cast<double>(kRows);
    state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024;
    state.counters["save_peak_MiB"] = static_cast<double>(PeakRssKiB() - g_tablePeakKiB) / 1024;
}
BENCHMARK(BM_SaveFullTable)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int WriteTsv(const char* path) {
    std::ofstream out(path, std::ios::binary);
    for (int c = 0; c < exporter::kColumns; ++c) out << (c ? "\t" : "") << kTitles[c];
    out << '\n';
    for (std::size_t i = 0; i < kRows; ++i) {
        const auto row = MakeRow(i);
        for (std::size_t c = 0; c < row.size(); ++c) out << (c ? "\t" : "") << row[c];
        out << '\n';
    }
    return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-tsv") == 0) return WriteTsv(argv[2]);
    TheTable();  // built before the measured loop
    g_tablePeakKiB = PeakRssKiB();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
