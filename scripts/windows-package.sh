#!/usr/bin/env bash
# Cross-builds the Windows program as one static Pesavo.exe (no DLL of ours or of the compiler
# beside it) and packs it with its language files, its settings and the manual as
# build-win/pesavo-windows.zip: Pesavo\bin\ holds the program (with the weight service's live
# page in Web\), Pesavo\Doc\ the manual that F1 opens (..\Doc seen from the program's folder),
# Pesavo\Site\ the site database's schema and its upgrade. The manual's PDF comes from the Linux
# build (build/Doc); without it the manual's HTML pages go in.
# Needs g++-mingw-w64-x86-64 and zip.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v zip >/dev/null; then
  echo "SKIPPED: the Windows package needs g++-mingw-w64-x86-64 and zip (scripts/deps.sh installs them)"
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
cmake --build build-win -j2 --target pesavo
# Only the system's own DLLs may be imported.
imports=$(x86_64-w64-mingw32-objdump -p build-win/bin/pesavo.exe | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  case "$dll" in
    kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|ole32.dll|shell32.dll|advapi32.dll|msvcrt.dll|ws2_32.dll|secur32.dll|api-ms-win-*) ;;
    *) echo "pesavo.exe needs $dll, which Windows does not have"; exit 1 ;;
  esac
done
stage=build-win/package/Pesavo
rm -rf build-win/package build-win/pesavo-windows.zip
mkdir -p "$stage/bin" "$stage/Doc" "$stage/Site"
cp site/pesavo-site.sql site/pesavo-site-upgrade-2.sql "$stage/Site/"  # (for the site's database administrator)
cp build-win/bin/pesavo.exe "$stage/bin/Pesavo.exe"
cp -r Language Web Setting.ini "$stage/bin/"  # (Web: the weight service's live page)
if ls build/Doc/*.pdf >/dev/null 2>&1; then
  cp build/Doc/*.pdf "$stage/Doc/"
else
  cp -r Doc/. "$stage/Doc/"
fi
(cd build-win/package && zip -qr9 ../pesavo-windows.zip Pesavo)
echo "-- build-win/pesavo-windows.zip: $(stat -c %s build-win/pesavo-windows.zip) bytes; Pesavo.exe" \
  "$(stat -c %s "$stage/bin/Pesavo.exe") bytes, imports only $(echo $imports)"
