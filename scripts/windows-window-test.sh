#!/usr/bin/env bash
# Drives the Windows program as it is handed out (build-win/pesavo-windows.zip, unpacked; made by
# scripts/windows-package.sh) under Wine on a virtual display as an operator would: tools/scale-sim linked as COM5 and
# registered by the same Wine session that runs the program; the window must come up with the
# language's title, Space on the focused connect button connects, known frames (a good one, a
# bad one twice, a negative one, an overweight one) get the right answers on the line, the
# system's save dialog writes a workbook that python3-xlrd reads back with exactly those rows,
# and Esc closes the window with the disconnect notice; the scale is answered while a question is
# open, and Yes closes while weighings arrive; killed while weighing, the program offers its
# journal's rows at the next start, and after Yes a save holds every weighing the scale heard
# acknowledged; with the weight service on, a client on this machine follows an MT-SICS balance's
# weighings on the stream, in order, and reads the last one's weight. Screenshots land in
# build-win/window-run/.
#
# With --screenshots DIR it only draws the idle window in each language into DIR (the README's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/desktop-helpers.sh
wine=/usr/lib/wine/wine64
for tool in Xvfb xdotool xwd; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: the Windows window test needs $tool (scripts/deps.sh installs xvfb, xdotool, x11-apps)"
    exit 0
  fi
done
if [ ! -x "$wine" ] || [ ! -f build-win/pesavo-windows.zip ]; then
  echo "SKIPPED: the Windows window test needs wine64 and build-win/pesavo-windows.zip (scripts/windows-package.sh makes it)"
  exit 0
fi
shots=""
[ "${1:-}" = "--screenshots" ] && shots=$(realpath -m "$2")

export WINEPREFIX=$root/build-win/wine-prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
dos=$WINEPREFIX/dosdevices
work=$root/build-win/window-run
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && unzip -q "$root/build-win/pesavo-windows.zip")
ln -s Pesavo/bin "$work/program"
if ls "$work/program"/*.dll >/dev/null 2>&1; then echo "FAILED: DLLs beside Pesavo.exe"; exit 1; fi

pids=()
trap end_wine_run EXIT
wine_on_virtual_display 100  # (then the prefix, on this display)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- creating the Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
# No journal from an earlier run: the rows it kept would be offered at the first start.
rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/Pesavo

settings() {  # Setting.ini naming language file $1 with name $2, as the program writes it (UTF-16)
  printf '[Language_Configuration]\r\nLanguage_FileName=\\%s\r\nLanguage_Name=%s\r\n' "$1" "$2" |
    iconv -f UTF-8 -t UTF-16 > "$work/program/Setting.ini"
}
# One Wine session runs the program: the port's and the fonts' registry values it adds live as
# long as the session. "$1": the batch's last line (how the program is started).
start_program() {
  local batch=$work/run.bat
  {
    echo '@echo off'
    # The desk's ports: the scale's alone (Wine's own COM1 stands for a serial device this
    # machine may not have).
    echo 'reg add "HKLM\HARDWARE\DEVICEMAP\SERIALCOMM" /v PesavoScaleSim /t REG_SZ /d COM5 /f >nul'
    # Wine's stand-in for the dialog font has no Chinese: the desk PC's system font has.
    echo 'reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes" /v "MS Shell Dlg" /t REG_SZ /d "WenQuanYi Micro Hei" /f >nul'
    echo 'reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes" /v "MS Shell Dlg 2" /t REG_SZ /d "WenQuanYi Micro Hei" /f >nul'
    echo "cd /d $(winpath "$work/program")"
    echo "$1"
  } | sed 's/$/\r/' > "$batch"
  "$wine" cmd /c "$(winpath "$batch")" > "$work/wine.log" 2>&1 &
  program=$!
}
screenshot() {  # window (empty: the whole screen), PNG path, [crop: x y width height]
  if [ -n "$1" ]; then xwd -silent -id "$1" > "$work/shot.xwd"; else xwd -silent -root > "$work/shot.xwd"; fi
  /usr/bin/python3 scripts/xwd2png.py "$work/shot.xwd" "$2" ${3:-}
}

if [ -n "$shots" ]; then
  mkdir -p "$shots"
  for lang in "English.ini English windows-english.png" "Chinese.ini 简体中文 windows-chinese.png"; do
    set -- $lang
    settings "$1" "$2"
    start_program "explorer /desktop=Pesavo,640x480 Pesavo.exe"
    sleep 6
    screenshot "" "$shots/$3" "0 0 440 390"
    "${wine%/*}/wineserver" -k 2>/dev/null || true
    wait "$program" 2>/dev/null || true
  done
  echo "-- screenshots in $shots"
  exit 0
fi

fail() { echo "FAILED: $*"; screenshot "" "$work/failed.png" || true; exit 1; }
# A box lies inside the screen (Xvfb's 1024x768): its buttons below its text are on it too.
on_screen() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  echo "-- $2: ${WIDTH}x${HEIGHT} at $X,$Y"
  [ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le 1024 ] && [ $((Y + HEIGHT)) -le 768 ] ||
    fail "$2 reaches beyond the 1024x768 screen"
}

# A language file that cannot be used (a name and nothing else), with a name of 200
# characters, at Apply and at the start (there at 150 %): the notice says so, whole and on the
# screen, its OK closes it, the window stays in (or falls back to) English, and Setting.ini
# keeps its bytes.
damaged=Zz$(printf '%0198d' 0 | tr 0 x).ini
printf '[Language_Configuration]\r\nLanguage_Name=Damaged\r\n' > "$work/program/Language/$damaged"
settings English.ini English
cp "$work/program/Setting.ini" "$work/settings.before"
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window titled 'Korvane Scale'"
main=$(window_named 'Korvane Scale')
sleep 1
xdotool windowfocus --sync "$main"
# From the connect button to the language list (the unit, the table, the port list, Clear,
# Refresh, Save), its last item, then Apply.
xdotool key Tab Tab Tab Tab Tab Tab Tab Down Down Down Tab space
until_true 20 has_window 'Notice' || fail "no notice when applying a damaged language file"
on_screen "$(window_named 'Notice')" "the notice of a damaged language at Apply"
screenshot "" "$work/language-at-apply.png"
xdotool key space
until_true 20 sh -c "! xdotool search --onlyvisible --name '^Notice\$' >/dev/null 2>&1" || fail "the notice stayed after OK"
has_window 'Korvane Scale' || fail "the window left English for a damaged language"
cmp -s "$work/settings.before" "$work/program/Setting.ini" || fail "Setting.ini changed by a damaged language at Apply"
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
settings "$damaged" Damaged
cp "$work/program/Setting.ini" "$work/settings.before"
dpi() {  # Wine's screen resolution for the programs started next
  echo "reg add \"HKCU\\Control Panel\\Desktop\" /v LogPixels /t REG_DWORD /d $1 /f >nul"
  echo "reg add \"HKCC\\Software\\Fonts\" /v LogPixels /t REG_DWORD /d $1 /f >nul"
}
start_program "$(dpi 144)
Pesavo.exe
$(dpi 96)"
until_true 90 has_window 'Notice' || fail "no notice at the start with a damaged language file"
on_screen "$(window_named 'Notice')" "the notice of a damaged language at the start, 150 %"
screenshot "" "$work/language-at-start-150.png"
xdotool key space
until_true 20 has_window 'Korvane Scale' || fail "the window did not fall back to English"
cmp -s "$work/settings.before" "$work/program/Setting.ini" || fail "Setting.ini changed by a damaged language at the start"
xdotool windowfocus --sync "$(window_named 'Korvane Scale')"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
rm "$work/program/Language/$damaged"
echo "-- a damaged language file at Apply and at the start: a notice on the screen, English kept, Setting.ini unchanged"

# Every message of both language files in the program's own box, with its longest arguments, at
# 100 and 150 % (tests/win32/BoxFitCheck.cpp; on a desktop of Wine's own, which closes boxes
# without waiting for a window manager): text whole inside the box, box inside the screen.
boxes=$root/build-win/bin/box_check.exe
[ -f "$boxes" ] || fail "no $boxes (scripts/windows-test.sh builds it)"
for pixels in 96 144; do
  start_program "$(dpi $pixels)
explorer /desktop=Boxes,1024x768 $(winpath "$boxes") $(winpath "$work/program/Language")
$(dpi 96)"
  until_true 300 sh -c "! kill -0 $program 2>/dev/null" || fail "the box check did not end"
  grep '^FAULT' "$work/wine.log" || true
  grep -q '^[0-9]* boxes checked, 0 faults' "$work/wine.log" || fail "message boxes at $pixels dpi: $(grep 'boxes checked' "$work/wine.log")"
  echo "-- every message at $pixels dpi: $(grep 'boxes checked' "$work/wine.log" | tr -d '\r')"
done

# A language whose connect caption has 180 characters, at 100 and 150 %: the window stays on the
# 1024x768 screen (the caption elided, the language list within reach).
long=$(printf 'Connect the scale on the chosen port %.0s' 1 2 3 4 5 | cut -c1-179).
sed "s/^Serial_Caption_Open=.*/Serial_Caption_Open=$long/; s/^Language_Name=.*/Language_Name=English (long)/" \
  "$work/program/Language/English.ini" > "$work/program/Language/Long.ini"
settings Long.ini "English (long)"
for pixels in 96 144; do
  start_program "$(dpi $pixels)
Pesavo.exe
$(dpi 96)"
  until_true 90 has_window 'Korvane Scale' || fail "no window with a 180-character caption"
  sleep 1
  on_screen "$(window_named 'Korvane Scale')" "the window with a 180-character caption at $pixels dpi"
  screenshot "" "$work/long-caption-$pixels.png"
  xdotool windowfocus --sync "$(window_named 'Korvane Scale')"
  xdotool key Escape
  until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
done
rm "$work/program/Language/Long.ini"

cat > "$work/frames.txt" <<'FRAMES'
# 123.4 kg; a bad check byte twice (asked again, then an error row); -12.34 kg; overweight
5F 02 00 04 D2 8B
5F 02 00 04 D2 00
5F 02 00 04 D2 00
5F 44 00 04 D2 CD
3F
FRAMES
build/bin/scale-sim --frames "$work/frames.txt" --interval 50 --link "$dos/com5" > "$work/scale-sim.log" &
sim=$!
pids+=($sim)
until_true 5 test -L "$dos/com5"

settings English.ini English
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window titled 'Korvane Scale'"
main=$(window_named 'Korvane Scale')
echo "-- the window came up with the language's title: $(xdotool getwindowname "$main")"
sleep 1  # (the first paint; keys go to the focused control, the connect button)
xdotool windowfocus --sync "$main"
xdotool key space
answers() { grep '^rx ' "$work/scale-sim.log" | tr '\n' ' '; }
until_true 30 grep -q '^rx 5A' "$work/scale-sim.log" || fail "Space on the connect button sent no handshake"
expected='rx 9F rx F9 rx 9F rx 9F rx 9F'
until_true 30 sh -c "sed -n '/^rx 5A\$/,\$p' '$work/scale-sim.log' | grep '^rx ' | grep -v 'rx 5A' | tr '\n' ' ' | grep -q '^$expected'" ||
  fail "answers on the line: $(answers), expected (after the handshake) $expected"
echo "-- answers on the line: $(answers)"
sleep 0.5
screenshot "$main" "$work/connected.png"

# Save: Tab from the connect button to Save (the chosen unit, the list, then Clear; the port list
# and Refresh are locked while connected), Space, and the save dialog's Enter on the name it offers.
xdotool key Tab Tab Tab Tab space
until_true 30 has_window 'Save As$' || fail "no save dialog"
dialog=$(window_named 'Save As$')
sleep 0.5
xdotool key Return
until_true 30 sh -c "ls '$work/program'/TarnobelDataFile-*.xls >/dev/null 2>&1" || fail "no workbook written"
book=$(ls "$work/program"/TarnobelDataFile-*.xls | head -1)
sleep 0.5
/usr/bin/python3 - "$book" <<'PY'
import sys, xlrd
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
rows = [[sheet.cell_value(r, c) for c in range(sheet.ncols)] for r in range(sheet.nrows)]
assert rows[0] == ['No.', 'Weight', 'Unit', 'Duration', 'Time', 'Remarks'], rows[0]
body = [(r[0].strip(), r[1], r[2], r[5]) for r in rows[1:]]
print('-- the workbook:', body)
assert body == [('1', '123.4', 'KG', ''), ('2', 'Data error', 'KG', 'Check error, received:5F020004D200'),
                ('3', '-12.34', 'KG', ''), ('4', 'Overweight', 'KG', '')], body
PY
echo "-- the save dialog wrote $(basename "$book"), read back by xlrd"

xdotool key Escape
until_true 20 grep -q '^rx 3A' "$work/scale-sim.log" || fail "no disconnect notice on closing"
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
echo "-- Esc closed the window; the scale heard the disconnect notice"

# The scale unplugged while the closing question is open: its disconnect question waits for that
# answer instead of opening over it (both would be answerable, and answering one gives the
# window back while the other is still open). No keeps the window; the disconnect question
# follows, and its No leaves an empty table that Esc closes.
kill "$sim"
wait "$sim" 2>/dev/null || true
build/bin/scale-sim --count 0 --interval 200 --link "$dos/com5" > "$work/scale-sim2.log" &
sim=$!
pids+=($sim)
until_true 5 test -L "$dos/com5"
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window on the second start"
main=$(window_named 'Korvane Scale')
sleep 1
xdotool windowfocus --sync "$main"
xdotool key space
until_true 30 grep -q '^rx 9F' "$work/scale-sim2.log" || fail "no weighing answered after the second start"
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 has_window 'Notice' || fail "no question on closing with rows"
first=$(window_named 'Notice')
kill "$sim"
sleep 3
boxes() { xdotool search --onlyvisible --name '^Notice$' 2>/dev/null | wc -l; }
[ "$(boxes)" -eq 1 ] || fail "$(boxes) message boxes at once after the scale was unplugged under the closing question"
xdotool key Tab space
other_box() { [ -n "$(window_named 'Notice')" ] && [ "$(window_named 'Notice')" != "$first" ]; }
until_true 20 other_box || fail "no disconnect question after the closing question's No"
# The closing question may take a moment to leave the screen after the new one is up: wait for it
# to go, then see that no further box joins the one left.
only_the_other() { ! xdotool search --onlyvisible --name '^Notice$' 2>/dev/null | grep -qx "$first" && [ "$(boxes)" -eq 1 ]; }
until_true 10 only_the_other || fail "$(boxes) message boxes at once after the closing question's No"
sleep 1
[ "$(boxes)" -eq 1 ] || fail "$(boxes) message boxes at once a second after the closing question's No"
xdotool key Tab space
until_true 20 sh -c "! xdotool search --onlyvisible --name '^Notice\$' >/dev/null 2>&1" || fail "the disconnect question stayed"
sleep 0.5
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc with an empty table"
echo "-- the scale unplugged under the closing question: one question at a time, in order"

# The scale is answered while a question is open: four error rows (each frame bad twice) bring
# "Error_Error", and the weighings sent behind them are answered with the box still open. Its No
# keeps the connection; then, weighings still arriving, Esc and Yes close the window (a second
# Yes when it asks once more about the rows that came meanwhile) with the disconnect notice.
{
  for _ in 1 2 3 4 5 6 7 8; do echo '5F 02 00 04 D2 00'; done
  for _ in $(seq 200); do echo '5F 02 00 04 D2 8B'; done
} > "$work/errors.txt"
build/bin/scale-sim --frames "$work/errors.txt" --interval 100 --link "$dos/com5" > "$work/scale-sim3.log" &
sim=$!
pids+=($sim)
until_true 5 test -L "$dos/com5"
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window on the third start"
main=$(window_named 'Korvane Scale')
sleep 1
xdotool windowfocus --sync "$main"
xdotool key space
expected='(rx F9 rx 9F ){4}(rx 9F ){3}'
until_true 30 sh -c "sed -n '/^rx 5A\$/,\$p' '$work/scale-sim3.log' | grep '^rx ' | grep -v 'rx 5A' | tr '\n' ' ' | grep -Eq '^$expected'" ||
  fail "answers on the line: $(grep '^rx ' "$work/scale-sim3.log" | tr '\n' ' '), expected (after the handshake) $expected"
[ "$(boxes)" -eq 1 ] || fail "$(boxes) message boxes while the scale was answered behind Error_Error"
xdotool key Tab space
until_true 20 sh -c "! xdotool search --onlyvisible --name '^Notice\$' >/dev/null 2>&1" || fail "Error_Error stayed after No"
sleep 0.5
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 has_window 'Notice' || fail "no question on closing with rows"
sleep 0.5
xdotool key space
sleep 1.5
if [ -n "$(window_named 'Notice')" ]; then xdotool key space; fi
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Yes while weighings arrived"
until_true 5 grep -q '^rx 3A' "$work/scale-sim3.log" || fail "no disconnect notice on closing while weighings arrived"
echo "-- the scale answered behind an open question; Yes closed while weighings arrived"

# Killed while weighing: the process ends at once (no close, no save), after at least 50
# weighings the scale heard acknowledged. Started again, the program offers the journal's rows;
# Yes puts them back, the scale is connected again and sends the rest (the weighing it was sent
# no answer for comes again), and a save holds every weighing the scale heard acknowledged, once
# each, in order. Only the first row after the restored ones may say "Maybe sent again": a repeat
# of the last restored one, journalled before its answer reached the scale.
journal_dir() { echo "$WINEPREFIX"/drive_c/users/*/AppData/Local/Pesavo; }
rm -rf $(journal_dir)  # (the closing while weighings arrived above left rows in it)
rm -f "$work/program"/TarnobelDataFile-*.xls
weighings=150  # weight of weighing i: 1.000 kg + i g, so a lost, repeated or swapped one shows
for i in $(seq 0 $((weighings - 1))); do
  c=$((1000 + i))
  printf '5F 08 %02X %02X %02X %02X\n' $((c >> 16)) $((c >> 8 & 255)) $((c & 255)) $((0x5F ^ 0x08 ^ (c >> 16) ^ (c >> 8 & 255) ^ (c & 255)))
done > "$work/numbered.txt"
build/bin/scale-sim --frames "$work/numbered.txt" --interval 5 --link "$dos/com5" > "$work/scale-sim4.log" &
sim=$!
pids+=($sim)
until_true 5 test -L "$dos/com5"
acknowledged() { grep -c '^rx 9F' "$work/scale-sim4.log" || true; }
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window on the fourth start"
main=$(window_named 'Korvane Scale')
sleep 1
xdotool windowfocus --sync "$main"
xdotool key space
until_true 60 sh -c "[ \$(grep -c '^rx 9F' '$work/scale-sim4.log') -ge 50 ]" || fail "only $(acknowledged) weighings acknowledged"
# Pesavo.exe is a process of its own beside the batch's cmd.exe (Wine gives each Windows process
# a Linux one, named after it): the one running in this run's program folder.
exe=""
for p in $(pgrep -x 'Pesavo.exe' || true); do
  [ "$(readlink "/proc/$p/cwd" 2>/dev/null)" = "$(realpath "$work/program")" ] && exe=$p
done
[ -n "$exe" ] || fail "no process of Pesavo.exe found"
kill -KILL "$exe"
until_true 20 sh -c "! kill -0 $exe 2>/dev/null" || fail "Pesavo.exe outlived SIGKILL"
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the batch did not end with the killed program"
before=$(acknowledged)
[ "$before" -lt "$weighings" ] || fail "all $weighings weighings were acknowledged before the kill: none was under way"
# (What the journal holds, read from a copy: the figure the question should name.)
mkdir -p "$work/journal-copy"
cp $(journal_dir)/journal.sqlite3* "$work/journal-copy/" || fail "no journal after the kill"
kept=$(/usr/bin/python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute("select count(*) from weighings").fetchone()[0])' \
  "$work/journal-copy/journal.sqlite3")
echo "-- killed after $before weighings acknowledged; the journal holds $kept rows"

start_program "Pesavo.exe"
until_true 90 has_window 'Notice' || fail "no offer of the journal's rows after the kill"
until_true 10 has_window 'Korvane Scale' || fail "no window behind the journal's offer"
main=$(window_named 'Korvane Scale')
sleep 1
screenshot "" "$work/journal-offer.png"
xdotool windowfocus --sync "$(window_named 'Notice')"
xdotool key space
until_true 20 sh -c "! xdotool search --onlyvisible --name '^Notice\$' >/dev/null 2>&1" || fail "the journal's offer stayed after Yes"
sleep 0.5
xdotool windowfocus --sync "$main"
xdotool key space
until_true 90 sh -c "[ \$(grep -c '^rx 9F' '$work/scale-sim4.log') -ge $weighings ]" ||
  fail "after the restart only $(acknowledged) of $weighings weighings acknowledged"
xdotool key Tab Tab Tab Tab space
until_true 30 has_window 'Save As$' || fail "no save dialog after the restart"
sleep 0.5
xdotool key Return
until_true 30 sh -c "ls '$work/program'/TarnobelDataFile-*.xls >/dev/null 2>&1" || fail "no workbook written after the restart"
book=$(ls "$work/program"/TarnobelDataFile-*.xls | head -1)  # (complete: a save's file is moved onto its name)
/usr/bin/python3 - "$book" "$(acknowledged)" "$before" "$kept" <<'PY' || fail "the workbook after the crash"
import sys, xlrd
acknowledged, before, kept = map(int, sys.argv[2:])
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
rows = [[sheet.cell_value(r, c) for c in range(sheet.ncols)] for r in range(1, sheet.nrows)]
weight = lambda i: '%.3f' % ((1000 + i) / 1000)
following, marked = 0, []
for n, (number, kg, unit, _, _, remarks) in enumerate(rows):
    assert number.strip() == str(n + 1) and unit == 'KG', (n, rows[n])
    if remarks.startswith('Maybe sent again'):
        assert following > 0 and kg == weight(following - 1), ('marked, but no repeat', n, rows[n - 1:n + 1])
        marked.append(n)
    else:
        assert kg == weight(following) and remarks == '', ('weighing %d expected' % following, n, rows[max(n - 2, 0):n + 2])
        following += 1
assert following == acknowledged, ('weighings in the workbook', following, 'acknowledged', acknowledged)
# A repeat only of a weighing journalled without the scale hearing its answer: the last restored row.
assert marked in ([], [kept]) and (not marked or kept == before + 1), ('marked rows', marked, 'restored', kept, 'before the kill', before)
print('-- the workbook after the crash: %d rows, weighings 0 to %d once each, in order; marked as maybe sent again: %s'
      % (len(rows), following - 1, ', '.join('row %d' % (m + 1) for m in marked) or 'none'))
PY
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc after the save"
rm -rf $(journal_dir)  # none left for whatever runs next in this prefix
echo "-- killed after $before acknowledged weighings, $kept rows journalled: after Yes the save holds all $(acknowledged) the scale heard acknowledged"
# An MT-SICS balance on COM5 with a parcel already on its pan: the search finds it (no probe zeroes
# it), the title names it, the parcel on the pan and the next one are one row each, and a save
# holds both.
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
rm -f "$work/program"/TarnobelDataFile-*.xls
build/bin/scale-sim --protocol sics --parcels 1.250,0.730 --loaded --hold 4000 --link "$dos/com5" > "$work/scale-sim5.log" &
sim=$!
pids+=($sim)
until_true 5 test -L "$dos/com5"
# The weight service on, beside the program: a client on this machine (Wine's sockets are its
# own) follows the stream from the first weighing on and reads the weight at the end.
probe=build/bin/service-probe
[ -x "$probe" ] || fail "no $probe (the Linux build makes it where CivetWeb is there)"
service_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
token=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
printf '[Service]\r\nPort=%s\r\nToken=%s\r\n' "$service_port" "$token" > "$work/program/Service.ini"
start_program "Pesavo.exe"
until_true 90 has_window 'Korvane Scale' || fail "no window for the MT-SICS balance"
main=$(window_named 'Korvane Scale')
until_true 30 "$probe" "$service_port" "$token" weight >/dev/null || fail "the weight service never answered on port $service_port"
"$probe" "$service_port" "$token" stream 2 0 > "$work/stream.log" &
stream=$!
pids+=($stream)
until_true 30 grep -q '"state"' "$work/stream.log" || fail "the stream sent no state: $(cat "$work/stream.log")"
sleep 1
xdotool windowfocus --sync "$main"
xdotool key space
until_true 60 sh -c "xdotool getwindowname '$main' | grep -q 'MT-SICS COM5'" || fail "the title does not name the MT-SICS balance on COM5: $(xdotool getwindowname "$main")"
until_true 60 sh -c "[ \$(grep -c '^stable' '$work/scale-sim5.log') -ge 2 ]" || fail "the balance's second parcel never settled"
sleep 1  # (polled five times a second: the second parcel's row)
screenshot "$main" "$work/mt-sics.png"
xdotool key Tab Tab Tab Tab space
until_true 30 has_window 'Save As$' || fail "no save dialog with the MT-SICS balance"
sleep 0.5
xdotool key Return
until_true 30 sh -c "ls '$work/program'/TarnobelDataFile-*.xls >/dev/null 2>&1" || fail "no workbook of the MT-SICS balance's rows"
book=$(ls "$work/program"/TarnobelDataFile-*.xls | head -1)
sleep 0.5
/usr/bin/python3 - "$book" <<'PY' || fail "the workbook of the MT-SICS balance"
import sys, xlrd
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
body = [sheet.cell_value(r, 1) for r in range(1, sheet.nrows)]
assert body == ['1.250', '0.730'], body
print('-- the MT-SICS balance: rows', body)
PY
"$probe" "$service_port" "$token" weight > "$work/weight.json" || fail "the weight service: $(cat "$work/weight.json")"
until_true 30 sh -c "! kill -0 $stream 2>/dev/null" || fail "the stream probe did not get two weighings: $(cat "$work/stream.log")"
wait "$stream" || fail "the stream probe: $(tail -1 "$work/stream.log")"
/usr/bin/python3 - "$work/weight.json" "$work/stream.log" <<'PY' || fail "the weight service's answers"
import json, sys
weight = json.load(open(sys.argv[1]))
assert weight['connected'] is True and weight['port'] == 'COM5', weight
assert weight['last']['kg'] == 0.73 and weight['last']['number'] == 2, weight['last']
stream = [json.loads(line) for line in open(sys.argv[2])]
assert 'state' in stream[0], stream[0]
weighings = [(m['weighing']['seq'], m['weighing']['kg']) for m in stream if 'weighing' in m]
assert weighings == [(1, 1.25), (2, 0.73)], weighings
print('-- the weight service under Wine: the last weighing', weight['last']['kg'], 'kg, connected to', weight['port'],
      '; the stream:', weighings)
PY
! grep -q '^zeroed' "$work/scale-sim5.log" || fail "the balance was zeroed by a probe"
xdotool windowfocus --sync "$main"
xdotool key Escape
until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc after the MT-SICS save"
rm -rf $(journal_dir)
echo "-- an MT-SICS balance found on COM5 ($(grep -c '^rx 53' "$work/scale-sim5.log") polls heard), its two parcels saved, never zeroed"
echo "PASSED: the Windows window under Wine"
