#!/usr/bin/env bash
# Installs what is missing, builds Pesavo and starts it.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target pesavo
cd build/bin
exec ./pesavo
