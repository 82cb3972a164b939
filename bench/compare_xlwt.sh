#!/usr/bin/env bash
# Saves the same full table (header + 65,001 rows, Chinese texts) with Pesavo's writer and with
# Debian's python3-xlwt, each as a whole process reading the same UTF-8 TSV and writing the
# workbook, several times in alternation; prints the median time and peak memory of each and
# the ratio. Then the in-process figures: bench_workbook, and the window's save and unit change
# from bench_frames when it is built.
#   bench/compare_xlwt.sh [BUILD_DIR] [RUNS]      (defaults: build, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
bin="$build/bin"
[ -x "$bin/bench_workbook" ] && [ -x "$bin/table2xls" ] || { echo "bench_workbook and table2xls not built in $build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/bench_workbook" --write-tsv "$work/table.tsv"
# One whole process: wall time and the child's peak resident memory.
measure() {
    /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(f"{time.perf_counter() - start:.4f} {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024:.1f}")' "$@"
}
for _ in $(seq "$runs"); do
    measure "$bin/table2xls" "$work/table.tsv" "$work/ours.xls" >> "$work/ours.txt"
    measure /usr/bin/python3 bench/xlwt_table.py "$work/table.tsv" "$work/xlwt.xls" >> "$work/xlwt.txt"
done
/usr/bin/python3 - "$work/ours.txt" "$work/xlwt.txt" "$(stat -c %s "$work/ours.xls")" <<'PY'
import statistics, sys
def med(path):
    rows = [tuple(map(float, l.split())) for l in open(path)]
    return statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows), len(rows)
(os_, om, n), (xs, xm, _) = med(sys.argv[1]), med(sys.argv[2])
size = int(sys.argv[3]) / 2**20
print(f"whole process, median of {n} alternating runs, workbook {size:.1f} MiB:")
print(f"python3-xlwt : {xs * 1000:9.1f} ms  peak {xm:6.1f} MiB")
print(f"table2xls    : {os_ * 1000:9.1f} ms  peak {om:6.1f} MiB")
print(f"ratio        : {xs / os_:9.1f}x faster")
PY

"$bin/bench_workbook" --benchmark_format=json --benchmark_out="$work/bench.json" --benchmark_out_format=json >/dev/null
/usr/bin/python3 -c '
import json, sys
b = json.load(open(sys.argv[1]))["benchmarks"][0]
print("in process   : %9.1f ms  peak %6.1f MiB (bench_workbook)" % (b["real_time"], b["save_peak_MiB"]))' "$work/bench.json"
if [ -x "$bin/bench_frames" ]; then
    QT_QPA_PLATFORM=offscreen "$bin/bench_frames" --benchmark_filter='Export|Convert' --benchmark_format=json \
        --benchmark_out="$work/frames.json" --benchmark_out_format=json >/dev/null 2>&1 || true
    /usr/bin/python3 -c '
import json, sys
try:
    b = {x["name"].split("/")[0]: x for x in json.load(open(sys.argv[1]))["benchmarks"]}
except Exception:
    sys.exit()
e, c = b.get("BM_ExportFullTable"), b.get("BM_ConvertFullTable")
if e: print("window save  : %9.1f ms  extra %.1f MiB for a %.1f MiB file (texts from the table, workbook, progress dialog)"
           % (e["real_time"], e.get("save_extra_MiB", 0), e.get("file_MiB", 0)))
if c: print("unit change  : %9.1f ms  (65,001 rows)" % c["real_time"])' "$work/frames.json"
fi
