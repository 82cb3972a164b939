#!/usr/bin/env bash
# Builds the Debian package from the build in build/ (CPack), checks it with lintian,
# appstreamcli and desktop-file-validate, installs it with apt-get and drives the installed
# /usr/bin/pesavo on a virtual display as the operator of an installed program would: a simulated
# scale mapped in the user's own device map, the language switched (the user's Setting.ini
# written, /usr/share/pesavo untouched), a whole table of weighings into its automatic save in
# the user's documents folder, then the package removed (nothing of it left, the user's files
# kept). Screenshots and logs land in build/package-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/desktop-helpers.sh
for tool in Xvfb xdotool xwd lintian appstreamcli desktop-file-validate; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: the package test needs $tool (scripts/deps.sh installs it)"
    exit 0
  fi
done
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

cmake --build build -j2 --target pesavo manual scale-sim >/dev/null
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/pesavo_*_amd64.deb)
echo "-- $deb: $(stat -c %s "$deb") bytes"
echo "-- lintian:"
{ lintian --display-info "$deb" 2>&1 || true; } | { grep -v 'running with root privileges' || true; } | sed 's/^/   /' | tee build/lintian.log
if grep -q '^ *[EW]:' build/lintian.log; then echo "FAILED: lintian reports errors or warnings"; exit 1; fi
appstreamcli validate --no-net build/packaging/linux/com.pesavo.Pesavo.metainfo.xml
desktop-file-validate packaging/linux/com.pesavo.Pesavo.desktop
echo "-- AppStream metadata and desktop entry valid"

work=$root/build/package-run
rm -rf "$work"
mkdir -p "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if dpkg-query -W -f='${Status}' pesavo 2>/dev/null | grep -q 'install ok installed'; then
    $sudo apt-get remove -y -qq pesavo >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  xwd -silent -root > "$work/failed.xwd" 2>/dev/null && /usr/bin/python3 scripts/xwd2png.py "$work/failed.xwd" "$work/failed.png" || true
  exit 1
}

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "./$deb" >/dev/null
dpkg -L pesavo | sort > "$work/files"
(cd /usr/share/pesavo && find . -type f -exec md5sum {} + | sort) > "$work/shared.before"
echo "-- installed: $(grep -c . "$work/files") paths, /usr/bin/pesavo $(stat -c %s /usr/bin/pesavo) bytes"

# A user of their own: home, settings, data and a documents folder the desktop names.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_RUNTIME_DIR=$work/runtime LANG=C.UTF-8
export QT_QPA_PLATFORM=xcb  # (the tests before ran offscreen: the operator has a display)
mkdir -p "$XDG_CONFIG_HOME/pesavo" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
echo 'XDG_DOCUMENTS_DIR="$HOME/Papers"' > "$XDG_CONFIG_HOME/user-dirs.dirs"
weighings=65001  # a whole table: the last row starts the automatic save
build/bin/scale-sim --count $weighings --interval 0 --link "$work/scale" > "$work/scale-sim.log" &
pids+=($!)
until_true 5 test -L "$work/scale" || fail "no simulated scale"
printf '[SerialComm]\r\nCOM9=%s\r\n' "$work/scale" > "$XDG_CONFIG_HOME/pesavo/SerialComm.ini"

display=:$((100 + ($$ + 200) % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
until_true 10 xdotool getdisplaygeometry >/dev/null 2>&1 || fail "no virtual display"
start() {
  (cd "$work" && exec /usr/bin/pesavo) > "$work/pesavo.log" 2>&1 &
  program=$!
  pids+=($program)
  until_true 30 has_window "$1" || fail "no window titled '$1'"
  main=$(window_named "$1")
  sleep 1  # (the first paint; keys go to the focused control, the connect button)
  xdotool windowfocus --sync "$main"
}

# The shipped settings speak Chinese; the operator switches to English: from the connect button
# to the language list (the units, the table, the port list, Clear, Refresh, Save), one down, Apply.
start 'Korvane电子秤'
xdotool key Tab Tab Tab Tab Tab Tab Tab Down Tab space
until_true 20 has_window 'Korvane Scale' || fail "the language did not switch to English"
grep -q 'English.ini' "$XDG_CONFIG_HOME/pesavo/Setting.ini" || fail "the user's Setting.ini does not keep English"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
echo "-- the language switched to English and kept in $XDG_CONFIG_HOME/pesavo/Setting.ini"

# Started again in English: Space connects to COM9, the scale's weighings fill the table.
start 'Korvane Scale'
xdotool key space
until_true 30 grep -q '^rx 9F' "$work/scale-sim.log" || fail "no weighing answered"
xwd -silent -id "$main" > "$work/shot.xwd" && /usr/bin/python3 scripts/xwd2png.py "$work/shot.xwd" "$work/weighing.png"
until_true 600 has_window 'Notice' || fail "no notice of the automatic save; $(grep -c '^rx 9F' "$work/scale-sim.log") weighings answered"
echo "-- $(grep -c '^rx 9F' "$work/scale-sim.log") weighings answered, the table full"
xwd -silent -id "$(window_named 'Notice')" > "$work/shot.xwd" && /usr/bin/python3 scripts/xwd2png.py "$work/shot.xwd" "$work/notice.png"
book=$(ls "$HOME"/Papers/Pesavo/*.xls 2>/dev/null | head -1)
[ -n "$book" ] || fail "no workbook in the documents folder's Pesavo"
/usr/bin/python3 - "$book" $weighings <<'PY'
import sys, xlrd
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
rows = sheet.nrows - 1
assert rows == int(sys.argv[2]), f"{rows} rows in the workbook"
numbers = [int(str(sheet.cell_value(r, 0)).strip()) for r in (1, rows)]
assert numbers == [1, rows], numbers
print(f"-- the automatic save: {sys.argv[1]}, {rows} rows")
PY
xdotool windowfocus --sync "$(window_named 'Notice')"
xdotool key space
until_true 20 sh -c "! xdotool search --onlyvisible --name '^Notice\$' >/dev/null 2>&1" || fail "the notice stayed"
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 30 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"

(cd /usr/share/pesavo && find . -type f -exec md5sum {} + | sort) > "$work/shared.after"
cmp -s "$work/shared.before" "$work/shared.after" || fail "/usr/share/pesavo changed"
echo "-- /usr/share/pesavo untouched"

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq pesavo >/dev/null
left=$(while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done < "$work/files")
[ -z "$left" ] || fail "left behind by the package: $left"
[ ! -e /usr/share/pesavo ] || fail "/usr/share/pesavo left behind"
for f in "$XDG_CONFIG_HOME/pesavo/Setting.ini" "$XDG_CONFIG_HOME/pesavo/SerialComm.ini" "$book"; do
  [ -f "$f" ] || fail "the user's $f went with the package"
done
echo "-- removed: nothing of the package left; the user's settings, device map and workbook kept"
