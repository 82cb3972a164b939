#!/usr/bin/env bash
# Saves the same full table (header + 65,001 rows) with Pesavo's writer and with Debian's
# python3-xlwt in one run, and prints both figures and the ratio.
#   bench/compare_xlwt.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench="$build/bench/bench_workbook"
[ -x "$bench" ] || bench="$build/bin/bench_workbook"
[ -x "$bench" ] || { echo "bench_workbook not built in $build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" --write-tsv "$work/table.tsv"
read -r xlwt_s xlwt_mib < <(/usr/bin/python3 bench/xlwt_table.py "$work/table.tsv" "$work/xlwt.xls")
"$bench" --benchmark_format=json --benchmark_out="$work/bench.json" --benchmark_out_format=json >/dev/null
read -r ours_ms ours_mib < <(/usr/bin/python3 -c '
import json, sys
b = json.load(open(sys.argv[1]))["benchmarks"][0]
print(b["real_time"], b["save_peak_MiB"])' "$work/bench.json")
# The window's whole save (texts fetched from the table, progress dialog included), when built.
frames="$(dirname "$bench")/bench_frames"
window_ms=0
if [ -x "$frames" ]; then
    QT_QPA_PLATFORM=offscreen "$frames" --benchmark_filter='Export|Convert' --benchmark_format=json \
        --benchmark_out="$work/frames.json" --benchmark_out_format=json >/dev/null 2>&1 || true
    window_ms=$(/usr/bin/python3 -c '
import json, sys
try:
    b = {x["name"].split("/")[0]: x["real_time"] for x in json.load(open(sys.argv[1]))["benchmarks"]}
    print(b.get("BM_ExportFullTable", 0), b.get("BM_ConvertFullTable", 0))
except Exception:
    print(0, 0)' "$work/frames.json")
fi
/usr/bin/python3 - "$xlwt_s" "$xlwt_mib" "$ours_ms" "$ours_mib" $window_ms <<'PY'
import sys
xs, xm, oms, om = map(float, sys.argv[1:5])
print(f"python3-xlwt : {xs * 1000:9.1f} ms  peak {xm:6.1f} MiB")
print(f"Pesavo       : {oms:9.1f} ms  peak {om:6.1f} MiB")
print(f"ratio        : {xs * 1000 / oms:9.1f}x faster")
if len(sys.argv) > 6 and float(sys.argv[5]) > 0:
    export, convert = map(float, sys.argv[5:7])
    print(f"window save  : {export:9.1f} ms  ({xs * 1000 / export:.1f}x faster than xlwt)")
    print(f"unit change  : {convert:9.1f} ms  (65,001 rows)")
PY
