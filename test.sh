#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: once in a normal build and
# once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
export QT_QPA_PLATFORM=offscreen

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and test"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPESAVO_SANITIZE=ON -DPESAVO_BENCH=OFF >/dev/null
cmake --build build-asan -j2
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 -LE load)
