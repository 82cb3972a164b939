#!/usr/bin/env bash
# libpq, PostgreSQL's client library, for the Windows cross build, which Debian ships no library
# of: fetches the `postgresql-15` source package of this machine's Debian release with apt-get
# source (scripts/debian-source.sh: a private source list and apt state under build-win/libpq/apt,
# the release's signature and the package's checksums checked, Debian's patches applied), configures it for mingw-w64 without any optional library
# (no TLS, Kerberos, LDAP, zlib, ICU, readline or translations), builds only what the client
# library needs (src/port, src/common, src/interfaces/libpq) as static libraries and keeps
# build-win/libpq/include (libpq-fe.h and the two headers it includes) and build-win/libpq/lib
# (libpq.a, libpgcommon_shlib.a, libpgport_shlib.a): a second run fetches and builds nothing.
#
# Prints the CMake options for the Windows configure, one a line: the library to use, or, when
# the source could not be fetched, options that leave libpq out (the site client with it). A
# source that was fetched and does not build is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-source.sh
root=$PWD
out=$root/build-win/libpq
package=postgresql-15
headers=(libpq-fe.h postgres_ext.h pg_config_ext.h)
libraries=(libpq.a libpgcommon_shlib.a libpgport_shlib.a)
say() { echo "$@" >&2; }
built() {
  local f
  for f in "${headers[@]/#/$out/include/}" "${libraries[@]/#/$out/lib/}"; do [ -f "$f" ] || return 1; done
}
use() {
  if built; then
    printf '%s\n' "-DPostgreSQL_INCLUDE_DIR=$out/include" "-DPostgreSQL_LIBRARY=$out/lib/libpq.a"
  else
    printf '%s\n' -UPostgreSQL_INCLUDE_DIR -UPostgreSQL_LIBRARY
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
host=x86_64-w64-mingw32
cc=$host-gcc-posix
ar=$host-ar
objcopy=$host-objcopy
nm=$host-nm
for tool in "$cc" "$ar" "$objcopy" "$nm" apt-get apt-cache dpkg-source make; do
  if ! command -v "$tool" >/dev/null; then
    say "note: no $tool (scripts/deps.sh installs it): the Windows build goes on without libpq, and without the site client"
    use
    exit 0
  fi
done

rm -rf "$out/include" "$out/lib"
if ! fetch_debian_source "$package" "$out"; then
  say "note: the $package source package could not be fetched (see $out/apt/*.log): the Windows build goes on without libpq, and without the site client"
  use
  exit 0
fi
version=$fetched_version
apt=$out/apt
tree=$(find "$out/source" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n1)
say "-- building libpq $version for Windows"
started=$SECONDS

build=$out/source/build
mkdir -p "$build"
failed() {
  say "libpq $version could not be built for Windows ($1; see $build/$2)"
  exit 1
}
# Every optional library off: none of them is there for mingw-w64, and the site client needs
# none (no TLS: the Windows program refuses settings that ask for it). pkg-config is the build
# machine's and has nothing to say about Windows libraries.
(cd "$build" && "$tree/configure" --host=$host CC="$cc" CFLAGS=-O2 PKG_CONFIG=false \
  --without-openssl --without-gssapi --without-ldap --without-readline --without-zlib --without-icu \
  --without-lz4 --without-zstd --without-libxml --disable-nls --disable-rpath) >"$build/configure.log" 2>&1 ||
  failed "configure" configure.log
configured=$SECONDS

# What each directory's makefile knows: its objects for a static library (the DLL's version
# resource left out), and the plain siblings of its _shlib objects.
cat > "$build/lists.mk" <<'EOF'
static-objects:
	@echo $(filter-out $(WIN32RES),$(OBJS))
shlib-siblings:
	@echo $(OBJS_SHLIB:_shlib.o=.o)
EOF
list() { make -s --no-print-directory -C "$build/$1" -f Makefile -f "$build/lists.mk" "$2"; }
log=$build/make.log
# The headers the makefiles link into the build tree, then libpq's own libraries: the _shlib
# variants of src/port and src/common, which libpq links. On Windows they are compiled exactly
# like their plain siblings (no CFLAGS_SL), which the makefiles would build alongside and which
# are marked as there (-o) instead.
make -C "$build/src/backend" generated-headers >"$log" 2>&1 || failed "generated headers" make.log
for part in port:libpgport_shlib.a common:libpgcommon_shlib.a; do
  dir=src/${part%%:*}
  siblings=$(list "$dir" shlib-siblings)
  make -C "$build/$dir" -j2 $(printf -- '-o %s ' $siblings) "${part#*:}" >>"$log" 2>&1 || failed "$dir" make.log
done
objects=$(list src/interfaces/libpq static-objects)
make -C "$build/src/interfaces/libpq" -j2 $objects >>"$log" 2>&1 || failed "src/interfaces/libpq" make.log

stage=$out/source/stage
mkdir -p "$stage/include" "$stage/lib"
(cd "$build/src/interfaces/libpq" && "$ar" rcs "$stage/lib/libpq.a" $objects)
# libpq's own small stand-in for pthreads on Windows (pthread-win32.c) defines pthread_self,
# pthread_mutex_lock and their like under the names that the program's threads take from
# winpthreads: linked statically, the program's std::mutex would lock with libpq's (another
# layout). Within libpq they are renamed, everywhere they are defined and called.
for f in self setspecific getspecific mutex_init mutex_lock mutex_unlock; do
  echo "pthread_$f pq_pthread_$f"
done > "$build/pthread.syms"
"$objcopy" --redefine-syms="$build/pthread.syms" "$stage/lib/libpq.a"
if "$nm" -g --defined-only "$stage/lib/libpq.a" | grep -q ' pthread_'; then
  failed "libpq.a still defines pthread functions" make.log
fi
cp "$build/src/port/libpgport_shlib.a" "$build/src/common/libpgcommon_shlib.a" "$stage/lib/"
cp "$tree/src/interfaces/libpq/libpq-fe.h" "$tree/src/include/postgres_ext.h" "$build/src/include/pg_config_ext.h" \
  "$stage/include/"
echo "$version" > "$out/VERSION"
cat "$apt/update.log" "$apt/source.log" > "$out/fetch.log"
mv "$stage/include" "$stage/lib" "$out/"
rm -rf "$out/source" "$apt"
say "-- libpq $version for Windows: $out/lib/libpq.a ($(stat -c %s "$out/lib/libpq.a") bytes;" \
  "configured in $((configured - started)) s, built in $((SECONDS - configured)) s)"
use
