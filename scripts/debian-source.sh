# Sourced by the scripts that build a library for the Windows cross build from Debian's source
# package (scripts/windows-sqlite.sh, scripts/windows-libpq.sh).
#
# fetch_debian_source PACKAGE FOLDER
#   Fetches the source package PACKAGE of this machine's Debian release into FOLDER/source with
#   apt-get source, through a private source list and apt state in FOLDER/apt, so the machine's
#   own apt setup stays untouched; apt checks the release's signature and the package's
#   checksums, and dpkg-source applies Debian's patches. The newest version first: a mirror may
#   list a version (a security update, say) whose files it does not hold yet, and then the one
#   before it is fetched. Sets `fetched_version`; the logs stay in FOLDER/apt. Fails when nothing
#   could be fetched (FOLDER/source is then gone).
fetch_debian_source() {
  local package=$1 folder=$2
  local release keyring apt part version
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  release=${release:-bookworm}
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  apt=$folder/apt
  rm -rf "$apt" "$folder/source"
  mkdir -p "$apt/sources.list.d" "$apt/apt.conf.d" "$apt/lists/partial" "$apt/cache/archives/partial" "$folder/source"
  cat > "$apt/sources.list.d/debian-sources.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $release $release-updates
Components: main
Signed-By: $keyring

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $release-security
Components: main
Signed-By: $keyring
SOURCES
  : > "$apt/sources.list"
  # The machine's apt settings (proxy, languages, ...) without its hooks, which would act on the
  # machine's own package lists and caches.
  for part in /etc/apt/apt.conf.d/*; do
    if [ -f "$part" ] && ! grep -q Invoke "$part"; then ln -s "$part" "$apt/apt.conf.d/"; fi
  done
  cat > "$apt/apt.conf" <<CONF
Dir::Etc::Parts "$apt/apt.conf.d";
Dir::Etc::Main "$apt/none.conf";
CONF
  local options=(
    -o "Dir::Etc::SourceList=$apt/sources.list"
    -o "Dir::Etc::SourceParts=$apt/sources.list.d"
    -o "Dir::State::Lists=$apt/lists"
    -o "Dir::Cache=$apt/cache"
  )
  # apt downloads as its own user where it can.
  if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
    chown _apt "$apt/lists/partial" "$apt/cache/archives/partial" "$folder/source"
  fi
  echo "-- fetching the $package source package of Debian $release" >&2
  # (apt-get update ends well even when no index could be fetched)
  if APT_CONFIG=$apt/apt.conf apt-get -q "${options[@]}" update >"$apt/update.log" 2>&1 &&
    ls "$apt/lists/"*_Sources* >/dev/null 2>&1; then
    for version in $(APT_CONFIG=$apt/apt.conf apt-cache "${options[@]}" showsrc "$package" 2>/dev/null |
      sed -n 's/^Version: //p' | sort -ruV); do
      if (cd "$folder/source" && APT_CONFIG=$apt/apt.conf apt-get -q "${options[@]}" source "$package=$version") \
        >>"$apt/source.log" 2>&1; then
        fetched_version=$version
        return 0
      fi
      rm -rf "${folder:?}/source/"*
    done
  fi
  rm -rf "$folder/source"
  return 1
}
