#!/usr/bin/env bash
# CivetWeb and nlohmann-json for the Windows build of the local weight service. Debian ships no
# Windows library of CivetWeb: this fetches the `civetweb` source package of this machine's
# Debian release with apt-get source (scripts/debian-source.sh: a private source list and apt
# state under build-win/civetweb/apt, the release's signature and the package's checksums
# checked, Debian's patches applied), compiles its one source file with mingw-w64 into a static
# library and keeps build-win/civetweb/include/civetweb.h and build-win/civetweb/lib/libcivetweb.a.
# nlohmann-json is headers only: Debian's (nlohmann-json3-dev) are copied into a folder of their
# own, build-win/civetweb/json/nlohmann, so that the Windows build never sees the machine's
# /usr/include. A second run fetches and builds nothing.
#
# Prints the CMake options for the Windows configure, one a line: the libraries to use, or, when
# the source could not be fetched or the headers are missing, options that leave the service
# out. A source that was fetched and does not build is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-source.sh
root=$PWD
out=$root/build-win/civetweb
include=$out/include/civetweb.h
library=$out/lib/libcivetweb.a
json=$out/json
say() { echo "$@" >&2; }
built() { [ -f "$include" ] && [ -f "$library" ] && [ -f "$json/nlohmann/json.hpp" ]; }
use() {
  if built; then
    printf '%s\n' "-DPESAVO_CIVETWEB_LIBRARY=$library" "-DPESAVO_CIVETWEB_INCLUDE_DIR=$out/include" \
      "-DPESAVO_NLOHMANN_INCLUDE_DIR=$json"
  else
    printf '%s\n' -UPESAVO_CIVETWEB_LIBRARY -UPESAVO_CIVETWEB_INCLUDE_DIR -UPESAVO_NLOHMANN_INCLUDE_DIR
  fi
}

mkdir -p "$out"
# Two Windows builds started at once fetch and build it once.
exec 9>"$out/.lock"
flock 9
if built; then
  use
  exit 0
fi
if [ ! -f /usr/include/nlohmann/json.hpp ]; then
  say "note: no nlohmann-json headers (scripts/deps.sh installs nlohmann-json3-dev): the Windows build goes on without the weight service"
  use
  exit 0
fi
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar
for tool in "$cc" "$ar" apt-get dpkg-source; do
  if ! command -v "$tool" >/dev/null; then
    say "note: no $tool (scripts/deps.sh installs it): the Windows build goes on without the weight service"
    use
    exit 0
  fi
done
rm -rf "$json.tmp"
mkdir -p "$json.tmp"
cp -r /usr/include/nlohmann "$json.tmp/"
rm -rf "$json"
mv "$json.tmp" "$json"

if [ ! -f "$include" ] || [ ! -f "$library" ]; then
  if ! fetch_debian_source civetweb "$out"; then
    say "note: the civetweb source package could not be fetched (see $out/apt/*.log): the Windows build goes on without the weight service"
    use
    exit 0
  fi
  apt=$out/apt
  tree=$(find "$out/source" -mindepth 1 -maxdepth 1 -type d -name 'civetweb-*' | head -n1)
  version=$fetched_version
  say "-- building CivetWeb $version for Windows"
  # What the service uses and no more: HTTP and WebSocket, server and client; no TLS, CGI,
  # scripting, file serving or caching (the service answers every path itself). Third-party
  # code: its own warnings are not ours to fix, so they are not shown.
  objects=$out/source/objects
  mkdir -p "$objects" "$out/lib" "$out/include"
  "$cc" -c -O2 -DNDEBUG -DNO_SSL -DNO_CGI -DNO_CACHING -DNO_FILES -DUSE_WEBSOCKET -DUSE_IPV6 \
    -w -I"$tree/include" -o "$objects/civetweb.o" "$tree/src/civetweb.c"
  rm -f "$library.tmp"
  "$ar" rcs "$library.tmp" "$objects/civetweb.o"
  cp "$tree/include/civetweb.h" "$include.tmp"
  echo "$version" > "$out/VERSION"
  mv "$include.tmp" "$include"
  mv "$library.tmp" "$library"
  cat "$apt/update.log" "$apt/source.log" > "$out/fetch.log"
  rm -rf "$out/source" "$apt"
  say "-- CivetWeb $version for Windows: $library ($(stat -c %s "$library") bytes)"
fi
use
