#!/usr/bin/env bash
# Runs the soak for MINUTES (default 3): Pesavo on a virtual display with two simulated scales, a
# site on a PostgreSQL server of its own, the weight service and the keyboard wedge, faults at
# random moments, every weighing counted at the end (tools/soak.cpp). SEED repeats a run; the
# seed of each run is printed. Builds what it needs in build/. Needs ./scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-3}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target soak scale-sim >/dev/null
exec build/bin/soak "$minutes" ${2:+"$2"}
