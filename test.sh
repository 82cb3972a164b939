#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: once in a normal build, once
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer,
# the fuzz targets for a bounded time on their kept corpora, the Windows build's tests under
# Wine, the Windows program as handed out (the zip and the installer), its window and its
# keyboard wedge driven under Wine on a virtual display, and the Debian package installed and
# driven. After the normal build's tests, while the sanitizer build compiles, a soak of three
# minutes (scripts/soak.sh).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
export QT_QPA_PLATFORM=offscreen
# Each stage says when it began, so that a slow one shows.
stage() { echo "== $1 (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

stage "build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)
# The load test's figures: frames per second through the whole program and peak memory.
grep -h '^load:' build/Testing/Temporary/LastTest.log || true

stage "soak: the program for three minutes with two scales, a site, the service and the wedge, faults at random moments (beside the next build)"
# It waits for conditions, never for the clock, so it runs while the sanitizer build compiles.
./scripts/soak.sh 3 > build/soak.log 2>&1 &
soak=$!
trap 'kill "$soak" 2>/dev/null || true' EXIT  # (a failed build leaves no soak behind)

stage "AddressSanitizer + UndefinedBehaviorSanitizer build and test"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPESAVO_SANITIZE=ON -DPESAVO_BENCH=OFF >/dev/null
cmake --build build-asan -j2
soakEnd=0
wait "$soak" || soakEnd=$?
echo "-- the soak:"
grep -v '^ *[0-9]*s ' build/soak.log || true  # (its figures; the log keeps every fault and its moment)
[ "$soakEnd" -eq 0 ] || { echo "the soak failed (build/soak.log)"; exit 1; }
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 -LE '^(load|reconnect)$')

stage "ThreadSanitizer build: the threaded tests (serial engine, connection, the desk, the window)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DPESAVO_TSAN=ON -DPESAVO_BENCH=OFF >/dev/null
cmake --build build-tsan -j2 --target serial_tests desk_tests app_tests reconnect_tests scale-sim
(cd build-tsan && TSAN_OPTIONS="suppressions=$PWD/../tests/tsan.supp second_deadlock_stack=1" \
  ctest --output-on-failure -j2 -L '^(serial|desk|app|reconnect)$')

stage "fuzz targets"
./scripts/fuzz.sh "${PESAVO_FUZZ_SECONDS:-10}"

stage "Windows: cross build with mingw-w64, tests under Wine"
./scripts/windows-test.sh

stage "Windows: the program as handed out (pesavo-windows.zip), its window and its wedge driven under Wine"
./scripts/windows-package.sh
./scripts/windows-window-test.sh
./scripts/windows-wedge-test.sh

stage "Windows: the installer (Pesavo.msi, built with wixl), installed, driven and uninstalled under Wine"
./scripts/windows-msi.sh
./scripts/windows-msi-test.sh

stage "Linux: the Debian package, checked by lintian, installed, driven and removed"
./scripts/linux-package.sh
stage "all passed"
