#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need; only what is missing.
# The Windows cross compiler, Wine and what drives a window on a virtual display are installed
# when they can be; without them the Windows tests are skipped (and say so).
set -euo pipefail
packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  clang libclang-rt-14-dev
  fonts-wqy-microhei xdg-utils poppler-utils
  lintian appstream desktop-file-utils dpkg-dev file xvfb xdotool x11-apps
  python3-xlrd python3-olefile python3-xlwt
  postgresql-15 libpq-dev
  libcivetweb-dev nlohmann-json3-dev
  libxtst-dev
)
# (tcl, with dpkg-dev, fetches and generates SQLite for the Windows build: scripts/windows-sqlite.sh;
# dpkg-dev alone fetches libpq's source for it: scripts/windows-libpq.sh; wixl and msitools build
# its installer)
optional=(g++-mingw-w64-x86-64 wine64 zip unzip tcl wixl msitools)

missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
need=($(missing "${packages[@]}"))
want=($(missing "${optional[@]}"))
[ ${#need[@]} -eq 0 ] && [ ${#want[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
if [ ${#want[@]} -gt 0 ]; then
  echo "Installing (for the Windows build): ${want[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${want[@]}" ||
    echo "note: could not install ${want[*]}: the Windows cross build and its tests will be skipped"
fi
