#!/usr/bin/env bash
# Checks scripts/packages.sh: which Debian mirror it finds in sample apt
# sources (one-line and deb822 files), that it installs exactly the missing
# packages and updates apt only then (apt-get, dpkg-query, id and sudo are
# stand-ins here: nothing is installed), and that the README quotes its lists.
set -uo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. tests/release/checks.sh
. scripts/packages.sh

# Sample apt folders: each case is "<name>|<expected mirror, or nothing>", its files written by case_files.
case_files() {  # case_files <name> <folder>
  local etc=$2
  mkdir -p "$etc/sources.list.d"
  case $1 in
    one-line-with-options)
      printf '%s\n' '# deb http://old.example/debian bookworm main' 'deb-src http://src.example/debian bookworm main' \
        'deb [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] http://mirror.example/debian/ bookworm main' \
        'deb http://second.example/debian bookworm main' >"$etc/sources.list" ;;
    deb822-after-security-and-third-party)
      printf '%s\n' 'Types: deb' 'URIs: https://third.example/node' 'Suites: nodistro' 'Components: main' \
        >"$etc/sources.list.d/a-node.sources"
      printf '%s\n' '# security first' 'Types: deb' 'URIs: http://security.example/debian-security' \
        'Suites: bookworm-security' 'Components: main' '' 'Types: deb-src' 'URIs: http://src.example/debian' \
        'Suites: bookworm' '' 'Enabled: no' 'Types: deb' 'URIs: http://off.example/debian' 'Suites: bookworm' '' \
        'types: deb deb-src' 'uris:' '  http://local.example:3142/debian' '  http://next.example/debian' \
        'suites: bookworm bookworm-updates' 'Signed-By:' ' -----BEGIN PGP PUBLIC KEY BLOCK-----' ' .' ' mQINBGP' \
        >"$etc/sources.list.d/debian.sources" ;;
    list-files-in-name-order)
      echo 'deb http://cloud.example/apt cloud-sdk-bookworm main' >"$etc/sources.list.d/b-cloud.list"
      echo 'deb file:/srv/debian/ bookworm-backports main' >"$etc/sources.list.d/c-local.list"
      printf '%s\n' 'Types: deb' 'URIs: http://later.example/debian' 'Suites: bookworm' >"$etc/sources.list.d/d.sources" ;;
    cdrom-then-mirror)
      printf '%s\n' 'deb cdrom:[Debian_GNU/Linux_12]/ bookworm main' 'deb http://mirror.example/debian stable main' \
        >"$etc/sources.list" ;;
    sources-list-before-its-folder)
      echo 'deb http://first.example/debian bookworm main' >"$etc/sources.list"
      echo 'deb http://folder.example/debian bookworm main' >"$etc/sources.list.d/a.list" ;;
    security-and-another-distribution-only)
      printf '%s\n' 'deb http://security.example/debian-security bookworm-security main' \
        'deb http://ubuntu.example/ubuntu jammy main' 'deb http://security.example/debian-security buster/updates main' \
        >"$etc/sources.list" ;;
    no-sources) ;;
  esac
}

mirror_cases=(
  "one-line-with-options|http://mirror.example/debian"
  "deb822-after-security-and-third-party|http://local.example:3142/debian"
  "list-files-in-name-order|file:/srv/debian"
  "cdrom-then-mirror|http://mirror.example/debian"
  "sources-list-before-its-folder|http://first.example/debian"
  "security-and-another-distribution-only|"
  "no-sources|"
)

mirror_is() {  # mirror_is <name> <expected>
  local found status
  case_files "$1" "$work/$1"
  found=$(debian_mirror "$work/$1")
  status=$?
  echo "found '$found' (status $status), expected '$2'"
  [ "$found" = "$2" ] || return 1
  if [ -n "$2" ]; then [ "$status" = 0 ]; else [ "$status" != 0 ]; fi
}

for row in "${mirror_cases[@]}"; do
  check "mirror from apt sources: ${row%%|*}" mirror_is "${row%%|*}" "${row#*|}"
done

# Stand-ins for the system's tools, which log what they were asked; only these are on PATH.
stubs=$work/stubs
mkdir -p "$stubs"
ln -s "$(command -v env)" "$stubs/env"
cat >"$stubs/dpkg-query" <<'EOF'
#!/bin/bash
for name in $STUB_INSTALLED; do [ "$name" != "${!#}" ] || { printf 'ii '; exit 0; }; done
printf 'un '
EOF
cat >"$stubs/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STUB_LOG"
EOF
printf '#!/bin/bash\necho "$STUB_UID"\n' >"$stubs/id"
printf '#!/bin/bash\necho sudo >>"$STUB_LOG"\nexec "$@"\n' >"$stubs/sudo"
printf '#!/bin/bash\n' >"$stubs/node.stub"
chmod +x "$stubs"/*

installs() {  # installs <list> <uid> <node and npm on PATH: yes|no> <installed...> -- <expected log lines...>
  local list=$1 uid=$2 node=$3 installed=()
  shift 3
  while [ "$1" != -- ]; do installed+=("$1"); shift; done
  shift
  rm -f "$work/log" "$stubs/node" "$stubs/npm" && : >"$work/log"
  [ "$node" = no ] || { cp "$stubs/node.stub" "$stubs/node" && cp "$stubs/node.stub" "$stubs/npm"; }
  (PATH=$stubs STUB_LOG=$work/log STUB_UID=$uid STUB_INSTALLED="${installed[*]}" install_packages "$list")
  diff <([ $# = 0 ] || printf '%s\n' "$@") "$work/log"
}

update="apt-get update -qq"
check "nothing missing: apt is not asked at all" \
  installs build 0 no g++ cmake ninja-build libgtest-dev googletest --
check "only the missing packages are installed, after one update" \
  installs build 0 no g++ ninja-build googletest -- "$update" \
  "apt-get install -y -qq --no-install-recommends cmake libgtest-dev"
check "a list takes those before it; Node.js from elsewhere is left alone; sudo when not root" \
  installs full 1000 yes $(packages_for full | grep -vxE 'clang|wine64|debootstrap|nodejs|npm') -- \
  sudo "$update" sudo "apt-get install -y -qq --no-install-recommends wine64 clang debootstrap"
check "without Node.js, Debian's nodejs and npm are installed" \
  installs full 0 no $(packages_for full | grep -vxE 'nodejs|npm') -- "$update" \
  "apt-get install -y -qq --no-install-recommends nodejs npm"

readme_quotes_the_lists() {
  diff <(readme_lists) <(sed -n '/^build (/,/^```$/p' README.md | sed '$d') ||
    { echo "README.md's package lists differ from scripts/packages.sh: paste what 'bash scripts/packages.sh' prints"; return 1; }
}
check "README.md quotes the package lists" readme_quotes_the_lists
echo "packages: $passed passed, $failed failed"
[ "$failed" = 0 ]
