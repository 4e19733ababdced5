#!/usr/bin/env bash
# The Debian 12 packages that tavrik's scripts need, in one place, and where
# Debian's packages come from on this machine. Three lists, each adding to the
# one before:
#   build  building and running the bridge and the stand-in (scripts/demo.sh)
#   test   both builds and their tests (QUICK=1 scripts/test-all.sh)
#   full   every stage of scripts/test-all.sh (browsers, release, sanitizers,
#          fuzzing, benchmarks), bench/run.sh and CI (.ci/run)
#   usage: bash scripts/packages.sh install <build|test|full>   installs what is missing
#          bash scripts/packages.sh                             prints the lists, as the README quotes them
#          bash scripts/packages.sh mirror                      prints the Debian mirror apt's sources name
# Sourced, it only defines the functions below.

list_packages() {  # list_packages <build|test|full>: the packages that list adds, on one line
  case $1 in
    build) echo "g++ cmake ninja-build libgtest-dev googletest" ;;
    test) echo "clang-format python3 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64" \
      "gcc-mingw-w64-i686-posix wine64 iproute2" ;;
    full) echo "clang libclang-rt-14-dev libc++-14-dev libc++abi-14-dev debootstrap zip unzip" \
      "chromium firefox-esr fonts-dejavu-core fonts-noto-color-emoji openssl nodejs npm wrk nginx-light libbenchmark-dev" ;;
    *) echo "packages: no list '$1' (build, test or full)" >&2; return 1 ;;
  esac
}

packages_for() {  # packages_for <list>: the packages of that list and of those before it, one a line
  local list
  list_packages "$1" >/dev/null || return 1
  for list in build test full; do
    printf '%s\n' $(list_packages "$list")
    [ "$list" != "$1" ] || return 0
  done
}

package_present() {  # package_present <name>: installed, by dpkg's records
  # Node.js may come from elsewhere with its own npm, which Debian's npm conflicts with.
  case $1 in
    nodejs) ! command -v node >/dev/null || return 0 ;;
    npm) ! command -v npm >/dev/null || return 0 ;;
  esac
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

install_packages() {  # install_packages <list>: apt-get installs those of it that are missing
  local names name missing=() sudo=""
  names=$(packages_for "$1") || return 1
  for name in $names; do package_present "$name" || missing+=("$name"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null ||
      { echo "packages: ${missing[*]} missing; install them as root (there is no sudo)" >&2; return 1; }
    sudo=sudo
  fi
  echo "packages: installing ${missing[*]} (apt-get${sudo:+ through sudo})" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

readme_lists() {  # the lists as the README shows them
  local list
  for list in build test full; do
    case $list in
      build) echo "build (scripts/demo.sh):" ;;
      test) echo "test (QUICK=1 scripts/test-all.sh), in addition:" ;;
      full) echo "full (scripts/test-all.sh, bench/run.sh, CI), in addition:" ;;
    esac
    list_packages "$list" | fold -s -w 96 | sed 's/ *$//; s/^/  /'
  done
}

# The codenames and aliases of Debian's releases: an apt source with one of
# these suites (or its -updates or -backports) is a Debian mirror.
DEBIAN_SUITES="stretch buster bullseye bookworm trixie forky duke sid oldoldstable oldstable stable testing unstable"

apt_sources() {  # apt_sources <apt folder>: "<uri> <suite>" for each deb source, in apt's order
  local etc=$1 file
  for file in "$etc/sources.list" "$etc"/sources.list.d/*; do
    [ -f "$file" ] || continue
    case $file in
      */sources.list | *.list)
        # deb [option=value ...] uri suite component...
        awk '$1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if (i + 1 <= NF) print $i, $(i + 1)
          }' "$file" ;;
      *.sources)
        # deb822 stanzas, blank-line separated; a line that starts with a space continues a field.
        awk 'function flush(   u, s, nu, ns, a, b) {
              if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
                nu = split(uris, a, " "); ns = split(suites, b, " ")
                for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) print a[u], b[s]
              }
              types = uris = suites = ""; enabled = "yes"
            }
            BEGIN { enabled = "yes" }
            /^#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { if (field == "uris") uris = uris " " $0; else if (field == "suites") suites = suites " " $0; next }
            {
              field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
              if (field == "types") types = value
              else if (field == "uris") uris = value
              else if (field == "suites") suites = value
              else if (field == "enabled") { enabled = value; gsub(/[ \t]/, "", enabled) }
            }
            END { flush() }' "$file" ;;
    esac
  done
}

debian_mirror() {  # debian_mirror [apt folder]: the first Debian mirror apt's sources name, no trailing /
  apt_sources "${1:-/etc/apt}" | awk -v suites="$DEBIAN_SUITES" '
    BEGIN { n = split(suites, s, " "); for (i = 1; i <= n; i++) debian[s[i]] = 1 }
    {
      suite = $2; sub(/-(updates|backports)$/, "", suite)
      if (!(suite in debian) || $1 !~ /^(https?|file|ftp):/) next
      uri = $1; sub(/\/+$/, "", uri); print uri; found = 1; exit
    }
    END { exit !found }'
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  case ${1:-} in
    install) install_packages "${2:?usage: bash scripts/packages.sh install <build|test|full>}" ;;
    mirror) debian_mirror ;;
    "") readme_lists ;;
    *) echo "usage: bash scripts/packages.sh [install <build|test|full> | mirror]" >&2; exit 2 ;;
  esac
fi
