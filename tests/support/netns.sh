#!/usr/bin/env bash
# Two machines on one: network namespaces "tavrik-<tag>-bridge" and
# "tavrik-<tag>-client", joined by a veth pair with private addresses, each
# with its own loopback up. The host's own interfaces are never touched.
#
#   netns.sh up <tag>                   make the pair (fails if it exists)
#   netns.sh down <tag>                 remove it; quiet when it is not there
#   netns.sh exec <tag> bridge|client <command...>   run a command in one of them
#   netns.sh with [<tag>] -- <command...>
#       up, run the command with the names and addresses in its environment,
#       then down, whatever happened (the tag defaults to this shell's PID).
#       Not root: prints why and exits 77, the tests' "skipped" status.
#
# The environment the command of "with" gets (and "up" prints, one per line):
#   TAVRIK_NETNS_BRIDGE, TAVRIK_NETNS_CLIENT    the namespaces' names
#   TAVRIK_NETNS_BRIDGE_IP, TAVRIK_NETNS_CLIENT_IP   their addresses on the link
#   TAVRIK_NETNS_CLIENT_IPS   every address of the client, space-separated, the
#                             first being TAVRIK_NETNS_CLIENT_IP: a client that
#                             binds to one of them is another machine each time
# The addresses are the same for every pair: each pair is a network of its own.
set -euo pipefail

BRIDGE_IP=10.213.0.1
CLIENT_IPS="10.213.0.2 10.213.0.3 10.213.0.4 10.213.0.5 10.213.0.6"
CLIENT_IP=${CLIENT_IPS%% *}
PREFIX=24

names() {  # names <tag>: namespace and link names for the tag
  tag=$1
  case $tag in '' | *[!A-Za-z0-9]*) echo "netns.sh: the tag must be letters and digits: '$tag'" >&2 && exit 2 ;; esac
  bridge_ns="tavrik-$tag-bridge"
  client_ns="tavrik-$tag-client"
  # Interface names hold at most 15 bytes.
  bridge_if="tvb${tag:0:12}"
  client_if="tvc${tag:0:12}"
}

describe() {
  echo "TAVRIK_NETNS_BRIDGE=$bridge_ns"
  echo "TAVRIK_NETNS_CLIENT=$client_ns"
  echo "TAVRIK_NETNS_BRIDGE_IP=$BRIDGE_IP"
  echo "TAVRIK_NETNS_CLIENT_IP=$CLIENT_IP"
  echo "TAVRIK_NETNS_CLIENT_IPS=$CLIENT_IPS"
}

add_client_addresses() {
  local ip
  for ip in $CLIENT_IPS; do ip -n "$client_ns" addr add "$ip/$PREFIX" dev "$client_if" || return 1; done
}

up() {
  names "$1"
  ip netns add "$bridge_ns"
  if ! {
    ip netns add "$client_ns" &&
      ip link add "$bridge_if" netns "$bridge_ns" type veth peer name "$client_if" netns "$client_ns" &&
      ip -n "$bridge_ns" addr add "$BRIDGE_IP/$PREFIX" dev "$bridge_if" &&
      add_client_addresses &&
      ip -n "$bridge_ns" link set "$bridge_if" up && ip -n "$client_ns" link set "$client_if" up &&
      ip -n "$bridge_ns" link set lo up && ip -n "$client_ns" link set lo up &&
      wait_until_up "$bridge_ns" "$bridge_if" && wait_until_up "$client_ns" "$client_if"
  }; then
    down "$1"
    echo "netns.sh: could not make the namespaces for '$1'" >&2
    return 1
  fi
  describe
}

# A veth end reports its carrier a moment after it is set up.
wait_until_up() {  # wait_until_up <namespace> <interface>
  for _ in $(seq 100); do
    [ "$(ip netns exec "$1" cat "/sys/class/net/$2/operstate")" = up ] && return 0
    sleep 0.05
  done
  return 1
}

down() {
  names "$1"
  # Removing a namespace removes the veth end inside it, and with it the pair.
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$bridge_ns" 2>/dev/null || true
}

with() {
  tag=t$$  # global: the exit trap needs it
  if [ "${1:-}" != -- ]; then tag=$1 && shift; fi
  [ "${1:-}" = -- ] && shift
  [ $# -gt 0 ] || { echo "netns.sh with: no command" >&2 && return 2; }
  if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: $(basename "$1") needs root to make network namespaces (CI runs it as root)"
    return 77
  fi
  command -v ip >/dev/null || { echo "netns.sh: 'ip' (iproute2) is missing" >&2 && return 1; }
  names "$tag"
  trap 'down "$tag"' EXIT
  trap 'exit 130' INT TERM
  local vars
  vars=$(up "$tag")
  local status=0
  # One variable a line; a value may hold spaces.
  local -a assignments
  mapfile -t assignments <<<"$vars"
  env "${assignments[@]}" "$@" || status=$?
  return $status
}

case "${1:-}" in
  up) up "${2:?netns.sh up <tag>}" ;;
  down) down "${2:?netns.sh down <tag>}" ;;
  exec)
    names "${2:?netns.sh exec <tag> bridge|client <command...>}"
    case "${3:-}" in
      bridge) ns=$bridge_ns ;;
      client) ns=$client_ns ;;
      *) echo "netns.sh exec: bridge or client, not '${3:-}'" >&2 && exit 2 ;;
    esac
    shift 3
    exec ip netns exec "$ns" "$@"
    ;;
  with) shift && with "$@" ;;
  *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2 && exit 2 ;;
esac
