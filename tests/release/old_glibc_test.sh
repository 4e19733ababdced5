#!/usr/bin/env bash
# Runs the Linux archive as a user of the oldest system the README names
# would: in a minimal Debian 11 (glibc 2.31), made by scripts/debian11-root.sh
# (the root the release links against, kept between runs), the archive is
# unpacked, the stand-in and the bridge start there, the bridge prints its
# start-up lines and /state turns live with the stand-in's data (over
# loopback: a chroot shares this system's network), and --help answers. Also
# checks that neither program asks for a glibc symbol newer than 2.31. A root
# that cannot be made fails the test. Needs root for chroot (sudo otherwise).
set -uo pipefail
cd "$(dirname "$0")/../.."
floor=2.31
version=$(sed -n 's/^#define TAVRIK_VERSION "\(.*\)"$/\1/p' build-release/generated/tavrik_version.h)
linux=tavrik-$version-linux-x86_64
[ -n "$version" ] && [ -s "out/$linux.tar.gz" ] || { echo "old glibc: run scripts/release.sh first" >&2; exit 1; }
usage="usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]] [--efb [ADDRESS,...]]"
standin_usage="usage: xplane-standin [address] [--port 49000] [--pause-after S [--resume-after S]]"
sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
work=$(mktemp -d)
pids=() inside="" bin=""
ours() {  # ours <pid>: that process still runs a program from this test's folder
  [ -n "$bin" ] && $sudo cat "/proc/$1/cmdline" 2>/dev/null | tr '\0' '\n' | grep -qF "$bin/"
}
stop() {  # what this test started, by PID; then the unpacked archive
  local pid file
  # Also the programs' own PIDs: sudo need not hand on a signal sent from our process group.
  for file in "$inside"/*.pid; do [ ! -s "$file" ] || pids+=("$(cat "$file")"); done
  for pid in "${pids[@]}"; do ! ours "$pid" || $sudo kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -z "$inside" ] || $sudo rm -rf "$inside"
  rm -rf "$work"
}
trap stop EXIT
. tests/release/checks.sh

if ! debian11=$(bash scripts/debian11-root.sh); then
  echo "FAILED: no Debian 11 root to run in (scripts/debian11-root.sh, above, says why)"
  exit 1
fi
inside=$(mktemp -d "$debian11/tmp/tavrik-test.XXXXXX")
tar -xzf "out/$linux.tar.gz" -C "$inside"
bin=/tmp/${inside##*/}/$linux  # the programs' folder as seen inside the root

in_root() { $sudo chroot "$debian11" "$@"; }

start_in_root() {  # start_in_root <name> <output> <program> [args...]: in the background, its PID in $inside/<name>.pid
  local name=$1 out=$2; shift 2
  : >"$out"
  $sudo chroot "$debian11" /bin/sh -c 'echo $$ >"$0" && exec "$@"' "${bin%/*}/$name.pid" "$@" </dev/null >"$out" 2>&1 &
  pids+=($!)
}

root_has_the_oldest_glibc() {
  local found
  found=$(in_root getconf GNU_LIBC_VERSION) && echo "$found" && [ "$found" = "glibc $floor" ]
}

programs_need_no_newer_glibc() {
  local program newest
  for program in tavrik xplane-standin; do
    newest=$(objdump -T "$inside/$linux/$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
    echo "$program: newest glibc symbol version $newest"
    [ -n "$newest" ] && [ "$(printf '%s\n' "$newest" "$floor" | sort -V | tail -1)" = "$floor" ] || return 1
  done
}

help_answers() {
  local out
  out=$(in_root "$bin/tavrik" --help) && echo "$out" && [ "$out" = "$usage" ] || return 1
  out=$(in_root "$bin/xplane-standin" --help) && echo "$out" && [ "$out" = "$standin_usage" ]
}

wait_for() {  # wait_for <seconds> <command...>: true once the command is
  local until=$((SECONDS + $1)); shift
  until "$@"; do [ "$SECONDS" -lt "$until" ] || return 1; sleep 0.2; done
}

has_line() { grep -qxF "$2" "$1"; }
started_or_gone() { grep -q "stand-in on" "$work/standin.out" || [ ! -d "/proc/$1" ]; }

# The stand-in on 127.0.0.N:49000 for a free N, in $address. Other runs on this
# machine may hold some, or for a while all (under Wine): wait, within reason.
start_standin() {
  local try give_up=$((SECONDS + 30))
  for ((try = 1; ; try++)); do
    address=127.0.0.$((RANDOM % 250 + 2))
    start_in_root "standin-$try" "$work/standin.out" "$bin/xplane-standin" "$address"
    wait_for 10 started_or_gone $! && grep -q "stand-in on $address:49000" "$work/standin.out" && return 0
    [ "$SECONDS" -lt "$give_up" ] || { cat "$work/standin.out"; return 1; }
    sleep 0.5
  done
}

get_state() {  # get_state <port>: the body of GET /state, over loopback
  timeout 5 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
    printf "GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" >&3 && cat <&3' - "$1" |
    sed -n '/^\r$/,$p' | tail -n +2
}

state_is_live() { get_state "$1" >"$work/state" && grep -q '^{"live":true,"sim":"xp",.*"lat":47\.' "$work/state"; }

bridge_goes_live_with_the_standin() {
  local address port line live
  start_standin || { echo "the stand-in did not start"; return 1; }
  echo "stand-in on $address:49000"
  start_in_root bridge "$work/bridge.out" "$bin/tavrik" "$address" --port 0
  wait_for 15 grep -q 'bridge ready on' "$work/bridge.out" || { cat "$work/bridge.out"; return 1; }
  port=$(sed -n 's|^✓ bridge ready on http://localhost:\([0-9]*\) .*|\1|p' "$work/bridge.out")
  wait_for 20 state_is_live "$port" && wait_for 5 has_line "$work/bridge.out" "✓ receiving data from X-Plane"
  live=$?
  echo "GET /state: $(cat "$work/state")"
  cat "$work/bridge.out"
  [ "$live" = 0 ] || return 1
  for line in "Velmara tavrik $version" "→ X-Plane: asking $address:49000 for position (5 Hz)" \
              "✓ bridge ready on http://localhost:$port — enable live position (📡) on the map. Close this window to stop." \
              "✓ receiving data from X-Plane"; do
    has_line "$work/bridge.out" "$line" || { echo "the bridge did not print: $line"; return 1; }
  done
}

check "the root is Debian 11 with glibc $floor" root_has_the_oldest_glibc
check "neither program needs a glibc symbol newer than GLIBC_$floor" programs_need_no_newer_glibc
check "both programs answer --help under glibc $floor" help_answers
check "under glibc $floor the bridge starts and turns live with the stand-in's data" bridge_goes_live_with_the_standin
echo "old glibc: $passed passed, $failed failed"
[ "$failed" = 0 ]
