#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan included) and runs each
# one for a bounded time on its corpus in tests/fuzz/corpus. New inputs go to a scratch folder;
# with --keep they are merged into the kept corpus (only those that add coverage).
# The line scales' parsers (8217, sics, print) are small and get 20 s each unless told otherwise.
#   scripts/fuzz.sh [seconds per target] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
lineSeconds=${1:-20}
keep=${2:-}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPESAVO_FUZZ=ON -DPESAVO_WITH_QT=OFF -DPESAVO_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_frames fuzz_profile fuzz_workbook fuzz_desk \
  fuzz_8217 fuzz_sics fuzz_print
mkdir -p build-fuzz/findings
for target in frames profile workbook desk 8217 sics print; do
  corpus=tests/fuzz/corpus/$target
  case $target in 8217|sics|print) time=$lineSeconds ;; *) time=$seconds ;; esac
  scratch=$(mktemp -d)
  echo "-- fuzz_$target: $time s on $(ls "$corpus" | wc -l) kept inputs"
  # The summary lines only; a finding prints its report and the input it saved.
  if ! build-fuzz/bin/fuzz_$target -max_total_time="$time" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/findings/$target- "$scratch" "$corpus" > build-fuzz/fuzz_$target.log 2>&1; then
    grep -v '^#' build-fuzz/fuzz_$target.log | tail -60
    echo "fuzz_$target found a fault: the input is in build-fuzz/findings/"
    rm -rf "$scratch"
    exit 1
  fi
  # "#runs DONE cov: edges ft: features corp: inputs/size ... exec/s: ..."
  grep -E '^#[0-9]+[[:space:]]+DONE' build-fuzz/fuzz_$target.log | tail -1 || true
  if [ "$keep" = "--keep" ]; then
    build-fuzz/bin/fuzz_$target -merge=1 "$corpus" "$scratch" > /dev/null 2>&1
  fi
  rm -rf "$scratch"
done
