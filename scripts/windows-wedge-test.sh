#!/usr/bin/env bash
# The keyboard wedge of the Windows program as it is handed out (build-win/pesavo-windows.zip)
# under Wine on a virtual display: with a Wedge.ini beside Pesavo.exe (a comma decimal, a
# non-ASCII prefix, Enter after each), the six-byte scale on COM5 is connected while Pesavo's own
# window has the focus, so its first weighing is not typed; then Notepad gets the focus and the
# next three weighings are typed into it. Saved with Ctrl+S, Notepad's file holds exactly those
# three lines, in order.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/desktop-helpers.sh
wine=/usr/lib/wine/wine64
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: the Windows wedge test needs $tool (scripts/deps.sh installs xvfb, xdotool)"
    exit 0
  fi
done
if [ ! -x "$wine" ] || [ ! -f build-win/pesavo-windows.zip ]; then
  echo "SKIPPED: the Windows wedge test needs wine64 and build-win/pesavo-windows.zip (scripts/windows-package.sh makes it)"
  exit 0
fi

export WINEPREFIX=$root/build-win/wine-prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
dos=$WINEPREFIX/dosdevices
work=$root/build-win/wedge-run
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && unzip -q "$root/build-win/pesavo-windows.zip")
program=$work/Pesavo/bin
journal_dir() { echo "$WINEPREFIX"/drive_c/users/*/AppData/Local/Pesavo; }

pids=()
end() {
  end_wine_run
  rm -rf $(journal_dir)
}
trap end EXIT
wine_on_virtual_display 130
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- creating the Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
rm -rf $(journal_dir)  # (rows an earlier run kept would be offered at the start)
fail() {
  echo "FAILED: $*"
  xwd -silent -root > "$work/shot.xwd" 2>/dev/null && /usr/bin/python3 scripts/xwd2png.py "$work/shot.xwd" "$work/failed.png" || true
  exit 1
}

printf '[Language_Configuration]\r\nLanguage_FileName=\\English.ini\r\nLanguage_Name=English\r\n' |
  iconv -f UTF-8 -t UTF-16 > "$program/Setting.ini"
# (UTF-16, as Windows' profile functions read a file beyond ASCII)
printf '[Wedge]\r\nEnabled=1\r\nDecimal=,\r\nPrefix="\xE2\x84\x96 "\r\n' | iconv -f UTF-8 -t UTF-16 > "$program/Wedge.ini"
# 1.000 kg (while Pesavo has the focus), then 1.234 kg, -12.34 kg and 123.4 kg, three seconds apart.
cat > "$work/frames.txt" <<'FRAMES'
5F 08 00 03 E8 BC
5F 08 00 04 D2 81
5F 44 00 04 D2 CD
5F 02 00 04 D2 8B
FRAMES
build/bin/scale-sim --frames "$work/frames.txt" --interval 3000 --link "$dos/com5" > "$work/scale-sim.log" &
pids+=($!)
until_true 5 test -L "$dos/com5"

# Notepad's file begins as UTF-8 (its mark alone), so that Notepad keeps the prefix's character.
printf '\xEF\xBB\xBF' > "$work/typed.txt"
{
  echo '@echo off'
  echo 'reg add "HKLM\HARDWARE\DEVICEMAP\SERIALCOMM" /v PesavoScaleSim /t REG_SZ /d COM5 /f >nul'
  echo "start \"\" notepad.exe $(winpath "$work/typed.txt")"
  echo "cd /d $(winpath "$program")"
  echo "Pesavo.exe"
} | sed 's/$/\r/' > "$work/run.bat"
"$wine" cmd /c "$(winpath "$work/run.bat")" > "$work/wine.log" 2>&1 &
until_true 90 has_window 'Korvane Scale' || fail "no window titled 'Korvane Scale'"
main=$(window_named 'Korvane Scale')
until_true 60 has_window 'typed' || fail "no Notepad window"
notepad=$(window_named 'typed')
xdotool getwindowname "$main" | grep -q 'typing weights' || fail "the title does not say the wedge is on: $(xdotool getwindowname "$main")"
sleep 1  # (the first paint; keys go to the focused control, the connect button)
xdotool windowfocus --sync "$main"
xdotool key space
until_true 30 grep -q '^rx 9F' "$work/scale-sim.log" || fail "the first weighing was not answered"
sleep 1  # (the next weighing is three seconds away)
# Into Notepad's text below Pesavo's window, as the operator would click (Wine makes a window
# the foreground one on a click; the X focus alone is not enough without a window manager).
eval "$(xdotool getwindowgeometry --shell "$notepad")"
xdotool mousemove $((X + 40)) $((Y + HEIGHT - 60)) click 1
until_true 30 sh -c "[ \$(grep -c '^rx 9F' '$work/scale-sim.log') -ge 4 ]" || fail "not every weighing was answered"
expected=$(printf '\xEF\xBB\xBF\xE2\x84\x96 1,234\r\n\xE2\x84\x96 -12,34\r\n\xE2\x84\x96 123,4\r\n' | od -An -tx1)
saved() {
  xdotool windowfocus --sync "$notepad"
  xdotool key ctrl+s
  sleep 0.5
  [ "$(od -An -tx1 "$work/typed.txt")" = "$expected" ]
}
until_true 20 saved || fail "Notepad holds $(od -c "$work/typed.txt"), expected $(echo "$expected")"
echo "-- Notepad holds the three weighings typed after it got the focus: $(tail -c +4 "$work/typed.txt" | tr '\r\n' '  ')"
echo "PASSED: the Windows wedge under Wine"
