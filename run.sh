#!/usr/bin/env bash
# Installs what is missing, builds Pesavo and starts it.
#
# Without a real scale configured, a simulated scale (tools/scale-sim) sends a steady stream of
# weighings on a pseudo-terminal, mapped as COM9 in build/bin/SerialComm.ini; it ends with the
# program. `./run.sh --scale frame6|8217|sics|print` simulates a scale of that kind instead
# (parcels without end). To use a real scale, run `./run.sh --real` (the port list then shows the
# machine's serial devices and whatever your own SerialComm.ini maps).
set -euo pipefail
cd "$(dirname "$0")"
kind=frame6
sim_args=(--count 0 --interval 1500)
if [ "${1:-}" = "--scale" ]; then
    case "${2:-}" in
        frame6) ;;
        8217|sics|print) kind=$2; sim_args=(--protocol "$2" --count 0) ;;
        *) echo "usage: ./run.sh [--real | --scale frame6|8217|sics|print]" >&2; exit 2 ;;
    esac
fi
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target pesavo scale-sim manual
cd build/bin

map=SerialComm.ini
marker="; written by run.sh for the simulated scale"
if [ "${1:-}" = "--real" ]; then
    # Drop the simulator's map, keep one the operator wrote.
    if [ -f "$map" ] && head -1 "$map" | grep -qF "$marker"; then rm -f "$map"; fi
    exec ./pesavo
fi
if [ -f "$map" ] && ! head -1 "$map" | grep -qF "$marker"; then
    echo "run.sh: $PWD/$map is your own device map; starting without the simulated scale." >&2
    exec ./pesavo
fi

out=$(mktemp)
./scale-sim "${sim_args[@]}" >"$out" &
sim=$!
# The map goes with the simulator: a stale /dev/pts entry may later be somebody's terminal, which
# the automatic search would write to.
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -f "$out"; if [ -f "$map" ] && head -1 "$map" | grep -qF "$marker"; then rm -f "$map"; fi' EXIT
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
device=$(head -1 "$out")
printf '%s\r\n[SerialComm]\r\nCOM9=%s\r\n' "$marker" "$device" >"$map"
echo "run.sh: simulated $kind scale on $device (COM9); press the connect button to start weighing."
./pesavo
