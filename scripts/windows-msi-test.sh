#!/usr/bin/env bash
# Installs build-win/Pesavo.msi (scripts/windows-msi.sh) under Wine as a Windows PC would, silently,
# in a prefix of its own on a virtual display: the package's files land under Program Files\Pesavo
# as in the zip, with a Start-menu entry carrying the program's icon. The installed program, started
# from its folder, answers a simulated scale on COM5, saves through the save dialog into a user
# folder, and keeps a language chosen with Apply after a restart (in %APPDATA%\Pesavo: an installed
# program leaves its folder alone). A newer package replaces it and keeps that choice; the uninstall takes
# the program, its folder and its entry away and leaves the operator's data: the workbook, the
# journal in %LOCALAPPDATA%\Pesavo and the Setting.ini of %APPDATA%\Pesavo. Screenshots land in
# build-win/msi-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/desktop-helpers.sh
wine=/usr/lib/wine/wine64
for tool in Xvfb xdotool xwd msibuild; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: the installer test needs $tool (scripts/deps.sh installs xvfb, xdotool, x11-apps, msitools)"
    exit 0
  fi
done
if [ ! -x "$wine" ] || [ ! -f build-win/Pesavo.msi ] || [ ! -x build/bin/scale-sim ]; then
  echo "SKIPPED: the installer test needs wine64, build-win/Pesavo.msi (scripts/windows-msi.sh) and build/bin/scale-sim"
  exit 0
fi
export WINEPREFIX=$root/build-win/msi-prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
work=$root/build-win/msi-run
rm -rf "$work"
mkdir -p "$work"
pids=()
trap end_wine_run EXIT
wine_on_virtual_display 500
# A prefix that still has Pesavo installed (a run stopped halfway) is made anew: an install over it
# would find the product there already.
if grep -q '"DisplayName"="Pesavo"' "$WINEPREFIX/system.reg" 2>/dev/null; then rm -rf "$WINEPREFIX"; fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- creating the Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
drive=$WINEPREFIX/drive_c
# The user's Documents, where an installed Pesavo starts its saves, in the prefix (Wine links it
# to this machine's home).
for documents in "$drive"/users/*/Documents; do
  if [ -L "$documents" ]; then rm "$documents" && mkdir "$documents"; fi
done
installed="$drive/Program Files/Pesavo"
book="$drive/users/Public/Documents/weighings.xls"
journal() { echo "$drive"/users/*/AppData/Local/Pesavo; }
settings() { echo "$drive"/users/*/AppData/Roaming/Pesavo/Setting.ini; }
rm -rf "$installed" "$book" $(journal) "$(dirname "$(settings)")"  # (what an earlier run left on purpose)

screenshot() { xwd -silent -root > "$work/shot.xwd" && /usr/bin/python3 scripts/xwd2png.py "$work/shot.xwd" "$1"; }
fail() { echo "FAILED: $*"; screenshot "$work/failed.png" || true; exit 1; }
msiexec() {  # log name, msiexec's arguments
  local log=$1; shift
  "$wine" msiexec "$@" /qn /l*v "$(winpath "$work/$log.log")" >/dev/null 2>&1 || fail "msiexec $* (see $work/$log.log)"
}
start_program() {  # in a Wine session of its own that registers the scale's port
  {
    echo '@echo off'
    echo 'reg add "HKLM\HARDWARE\DEVICEMAP\SERIALCOMM" /v PesavoScaleSim /t REG_SZ /d COM5 /f >nul'
    echo 'reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes" /v "MS Shell Dlg" /t REG_SZ /d "WenQuanYi Micro Hei" /f >nul'
    echo 'reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes" /v "MS Shell Dlg 2" /t REG_SZ /d "WenQuanYi Micro Hei" /f >nul'
    echo 'cd /d "C:\Program Files\Pesavo\bin"'
    echo 'Pesavo.exe'
  } | sed 's/$/\r/' > "$work/run.bat"
  "$wine" cmd /c "$(winpath "$work/run.bat")" > "$work/wine.log" 2>&1 &
  program=$!
  until_true 90 has_window "$1" || fail "no window titled '$1' ($2)"
  main=$(window_named "$1")
  sleep 1  # (the first paint; keys go to the focused control, the connect button)
  xdotool windowfocus --sync "$main"
}
close_program() {
  xdotool windowfocus --sync "$main"
  xdotool key Escape
  until_true 20 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not end on Esc"
}

msiexec install /i "$(winpath "$root/build-win/Pesavo.msi")"
diff -r build-win/package/Pesavo "$installed" > "$work/layout.diff" || fail "installed files differ from the package: $(head -5 "$work/layout.diff")"
echo "-- installed: Program Files\\Pesavo holds the package's $(find "$installed" -type f | wc -l) files, names and bytes alike"
lnk=$(find "$drive/ProgramData/Microsoft/Windows/Start Menu" "$drive"/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu \
  -name Pesavo.lnk 2>/dev/null | head -1)
[ -n "$lnk" ] || fail "no Start-menu entry Pesavo.lnk"
grep -qaF 'C:\Program Files\Pesavo\bin\Pesavo.exe' "$lnk" || fail "the Start-menu entry does not start Pesavo.exe"
icon=$(tr -d '\0' < "$lnk" | grep -ao 'C:\\windows\\Installer\\[^\\]*\\Pesavo.ico' | head -1)
cmp -s src/win32/icons/127.ico "$drive/$(echo "${icon#C:\\}" | tr '\\' '/')" || fail "the Start-menu entry's icon is not the program's ($icon)"
echo "-- the Start-menu entry ${lnk#$drive/} starts Pesavo.exe with the program's icon"

cat > "$work/frames.txt" <<'FRAMES'
# 123.4 kg, -12.34 kg
5F 02 00 04 D2 8B
5F 44 00 04 D2 CD
FRAMES
build/bin/scale-sim --frames "$work/frames.txt" --interval 50 --link "$WINEPREFIX/dosdevices/com5" > "$work/scale-sim.log" &
pids+=($!)
until_true 5 test -L "$WINEPREFIX/dosdevices/com5"
# As installed, Setting.ini names Chinese.
start_program 'Korvane电子秤$' "the installed program's first start"
xdotool key space
until_true 30 sh -c "sed -n '/^rx 5A\$/,\$p' '$work/scale-sim.log' | grep '^rx ' | grep -v 'rx 5A' | tr '\n' ' ' | grep -q '^rx 9F rx 9F'" ||
  fail "answers on the line: $(grep '^rx ' "$work/scale-sim.log" | tr '\n' ' '), expected a handshake and rx 9F twice"
screenshot "$work/installed.png"
echo "-- the installed program connected to COM5: $(grep '^rx ' "$work/scale-sim.log" | tr '\n' ' ')"
# Save (Tab to it from the connect button), in a user folder named in the dialog's file name.
xdotool key Tab Tab Tab Tab space
until_true 30 has_window 'Save As$' || fail "no save dialog"
sleep 0.5
xdotool key ctrl+a
xdotool type --delay 20 'C:\users\Public\Documents\weighings.xls'
xdotool key Return
until_true 30 test -s "$book" || fail "no workbook in C:\\users\\Public\\Documents"
sleep 0.5
/usr/bin/python3 - "$book" <<'PY' || fail "the saved workbook"
import sys, xlrd
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
body = [(sheet.cell_value(r, 0).strip(), sheet.cell_value(r, 1), sheet.cell_value(r, 2)) for r in range(1, sheet.nrows)]
assert body == [('1', '123.4', 'KG'), ('2', '-12.34', 'KG')], body
PY
close_program
echo "-- the save dialog wrote C:\\users\\Public\\Documents\\weighings.xls, read back by xlrd"

# English from the language list (after the unit, the table, the port list, Clear, Refresh and
# Save) and Apply; kept at the next start.
start_program 'Korvane电子秤$' "the second start"
xdotool key Tab Tab Tab Tab Tab Tab Tab Down Tab space
until_true 20 has_window 'Korvane Scale$' || fail "the title did not change to English after Apply"
close_program
start_program 'Korvane Scale$' "English after the restart"
close_program
[ -f "$(settings)" ] || fail "no Setting.ini in %APPDATA%\\Pesavo"
cmp -s build-win/package/Pesavo/bin/Setting.ini "$installed/bin/Setting.ini" || fail "the installed Setting.ini changed"
echo "-- English chosen with Apply, kept after a restart in %APPDATA%\\Pesavo\\Setting.ini; the installed one unchanged"

# The next version (a product code of its own) replaces the one installed.
version=$(msiinfo export build-win/Pesavo.msi Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
IFS=. read -r major minor build _ <<< "$version"
for next in "$major.$minor.$((build + 1)).0"; do
  newer=$work/Pesavo-$next.msi
  cp build-win/Pesavo.msi "$newer"
  for query in "UPDATE \`Property\` SET \`Value\` = '$next' WHERE \`Property\` = 'ProductVersion'" \
               "UPDATE \`Property\` SET \`Value\` = '{$(tr a-z A-Z < /proc/sys/kernel/random/uuid)}' WHERE \`Property\` = 'ProductCode'"; do
    msibuild "$newer" -q "$query"
  done
  msibuild "$newer" -s "Pesavo $next" Korvane "x64;1033" "{$(tr a-z A-Z < /proc/sys/kernel/random/uuid)}"
  msiexec "upgrade-$next" /i "$(winpath "$newer")"
  products=$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk -v RS= '/DisplayName +REG_SZ +Pesavo\n/')
  [ "$(grep -c DisplayName <<< "$products")" = 1 ] && grep -q "DisplayVersion *REG_SZ *$next$" <<< "$products" ||
    fail "after installing Pesavo $next over the one installed: $products"
  iconv -f UTF-16 -t UTF-8 "$(settings)" | grep -q 'Language_FileName=\\English.ini' ||
    fail "installing Pesavo $next lost the operator's Setting.ini"
done
echo "-- Pesavo $next replaced Pesavo $version (one product left), the operator's Setting.ini kept"

sum_data() { (cd "$drive" && md5sum "${book#$drive/}" users/*/AppData/Roaming/Pesavo/Setting.ini users/*/AppData/Local/Pesavo/*); }
[ -f "$(journal)/journal.sqlite3" ] || fail "no journal in %LOCALAPPDATA%\\Pesavo"
sum_data > "$work/data.before"
msiexec uninstall /x "$(winpath "$newer")"
[ ! -e "$installed" ] || fail "left after the uninstall: $(find "$installed")"
[ ! -e "$lnk" ] || fail "the Start-menu entry outlived the uninstall"
sum_data | cmp -s - "$work/data.before" || fail "the operator's data changed at the uninstall: $(sum_data | diff "$work/data.before" - || true)"
echo "-- uninstalled: the program's folder and its Start-menu entry gone; the workbook, the journal and the operator's Setting.ini kept"
echo "PASSED: the Windows installer under Wine"
