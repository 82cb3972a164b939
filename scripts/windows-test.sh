#!/usr/bin/env bash
# Cross-builds the Qt-free libraries, their tests and table2xls for 64-bit Windows with
# mingw-w64, and runs them under Wine in a private prefix (build-win/wine-prefix). The serial
# tests use real lines: tools/scale-sim linked as COM5 and tools/line-peer as COM6 in the
# prefix's dosdevices, both registered in the (volatile) SERIALCOMM key by the same Wine session
# that runs the tests. The site client's tests talk to a PostgreSQL server started here. Finally a
# workbook written by the Windows build must be byte-identical to the Linux build's. Needs the
# Linux build in build/ (for scale-sim, line-peer and table2xls).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wine=/usr/lib/wine/wine64
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine" ]; then
  echo "SKIPPED: the Windows cross build needs g++-mingw-w64-x86-64 and wine64 (scripts/deps.sh installs them)"
  exit 0
fi

# SQLite for the journal, libpq for the site client and CivetWeb for the weight service, each
# built once from Debian's source package (left out when it cannot be fetched).
sqlite=$(scripts/windows-sqlite.sh)
readarray -t sqlite_options <<< "$sqlite"
libpq=$(scripts/windows-libpq.sh)
readarray -t libpq_options <<< "$libpq"
civetweb=$(scripts/windows-civetweb.sh)
readarray -t civetweb_options <<< "$civetweb"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DPESAVO_WITH_QT=OFF -DPESAVO_BENCH=OFF "${sqlite_options[@]}" "${libpq_options[@]}" "${civetweb_options[@]}" >/dev/null
cmake --build build-win -j2
journal_tests="" site_tests="" service_tests=""
case ${sqlite_options[0]} in -D*) journal_tests=journal_tests ;; esac  # (built with SQLite only)
case ${libpq_options[0]} in -D*) site_tests=site_tests ;; esac  # (built with libpq only)
case ${civetweb_options[0]} in -D*) service_tests=service_tests ;; esac  # (built with CivetWeb only)
cmake --build build -j2 --target scale-sim line-peer table2xls >/dev/null

export WINEPREFIX=$root/build-win/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- creating the Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
dos=$WINEPREFIX/dosdevices
work=$root/build-win/wine-run
rm -rf "$work"
mkdir -p "$work"

pids=()
pg="" as_owner=()
pg_bin=/usr/lib/postgresql/15/bin
unset PESAVO_SITE_SERVER
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -f "$dos/com5" "$dos/com6"
  if [ -n "$pg" ]; then
    (cd "$pg" && "${as_owner[@]}" "$pg_bin/pg_ctl" -D "$pg/data" -m immediate -w stop) >/dev/null 2>&1 || true
    rm -rf "$pg"
  fi
}
trap cleanup EXIT
build/bin/scale-sim --frames tests/serial/three-frames.txt --interval 50 --link "$dos/com5" > "$work/scale-sim.log" &
pids+=($!)
peer_port=$((40000 + $$ % 20000))
build/bin/line-peer --link "$dos/com6" --port "$peer_port" > "$work/line-peer.log" &
pids+=($!)
for _ in $(seq 50); do [ -L "$dos/com5" ] && grep -q listening "$work/line-peer.log" && break; sleep 0.1; done

# The site tests' server, which a Windows program cannot start: made as PostgresCluster.h makes
# one on Linux (Debian's PostgreSQL 15, owned by nobody under root, on 127.0.0.1 on a free port,
# every role but the superuser with a SCRAM password), the superuser let in from 127.0.0.1
# without one; the tests find it by PESAVO_SITE_SERVER.
if [ -n "$site_tests" ] && [ -x "$pg_bin/initdb" ]; then
  pg=$(mktemp -d /tmp/pesavo-pg-XXXXXX)
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody: "$pg"
    as_owner=(/usr/sbin/runuser -u nobody --)
  fi
  if ! (cd "$pg" && "${as_owner[@]}" "$pg_bin/initdb" -D "$pg/data" -U postgres -E UTF8 --locale=C.UTF-8 \
      --auth-local=trust --auth-host=scram-sha-256 --no-sync &&
      "${as_owner[@]}" sed -i '1i host all postgres 127.0.0.1/32 trust' "$pg/data/pg_hba.conf") >"$work/postgres.log" 2>&1; then
    echo "the site tests' PostgreSQL cluster could not be made:"
    cat "$work/postgres.log"
    exit 1
  fi
  # (another process may take the free port before the server does: then another one)
  for _ in 1 2 3; do
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    if (cd "$pg" && "${as_owner[@]}" "$pg_bin/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 60 -o \
        "-c port=$port -c listen_addresses=127.0.0.1 -c unix_socket_directories=$pg -c fsync=off -c synchronous_commit=off" \
        start) >>"$work/postgres.log" 2>&1; then
      export PESAVO_SITE_SERVER=$port
      break
    fi
  done
  if [ -z "${PESAVO_SITE_SERVER:-}" ]; then
    echo "the site tests' PostgreSQL server did not start:"
    cat "$work/postgres.log" "$pg/server.log" 2>/dev/null
    exit 1
  fi
  echo "-- a PostgreSQL server for the site tests on 127.0.0.1:$PESAVO_SITE_SERVER"
elif [ -n "$site_tests" ]; then
  echo "-- no PostgreSQL 15 (scripts/deps.sh installs it): the site tests are skipped"
fi

winpath() { echo "Z:$1" | tr '/' '\\'; }
export PESAVO_SIM_COM=5 PESAVO_SIM_LOG=$(winpath "$work/scale-sim.log") PESAVO_LINE_PEER=$peer_port PESAVO_LINE_COM=6

# One batch, one Wine session: the registry values it adds live as long as the session.
batch=$work/run-tests.bat
{
  echo '@echo off'
  echo 'reg add "HKLM\HARDWARE\DEVICEMAP\SERIALCOMM" /v PesavoScaleSim /t REG_SZ /d COM5 /f >nul'
  echo 'reg add "HKLM\HARDWARE\DEVICEMAP\SERIALCOMM" /v PesavoLinePeer /t REG_SZ /d COM6 /f >nul'
  for t in platform_tests localisation_tests xls_tests weighing_tests scale_tests serial_tests desk_tests $journal_tests $site_tests $service_tests; do
    echo "echo -- $t"
    echo "$(winpath "$root/build-win/bin/$t.exe") --gtest_brief=1"
    echo 'if errorlevel 1 exit /b 1'
  done
  echo "$(winpath "$root/build-win/bin/table2xls.exe") $(winpath "$root/tests/export/sample-table.tsv") $(winpath "$work/windows.xls")"
  echo 'if errorlevel 1 exit /b 1'
  echo 'exit /b 0'
} | sed 's/$/\r/' > "$batch"
echo "-- running the Windows tests under Wine"
"$wine" cmd /c "$(winpath "$batch")"

build/bin/table2xls tests/export/sample-table.tsv "$work/linux.xls"
if cmp "$work/linux.xls" "$work/windows.xls"; then
  echo "-- the workbook written under Wine is byte-identical to the Linux one ($(stat -c %s "$work/linux.xls") bytes)"
else
  echo "the workbook written under Wine differs from the Linux one"
  exit 1
fi
