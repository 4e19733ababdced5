#!/usr/bin/env bash
# The bridge live without a simulator, on a fresh Debian 12 machine too:
# installs what the build needs when it is missing (scripts/packages.sh:
# apt-get, through sudo when not root), builds (Linux), then runs the X-Plane
# stand-in and the bridge side by side and prints the map's address. Type p
# and Enter to pause or resume the stand-in; Ctrl-C stops both.
#   usage: bash scripts/demo.sh [--port 49080]
set -euo pipefail
cd "$(dirname "$0")/.."

port=49080
if [ "${1:-}" = "--port" ] && [ -n "${2:-}" ]; then port=$2; fi

bash scripts/packages.sh install build
echo "demo: building tavrik and xplane-standin in build/"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tavrik xplane-standin >/dev/null

bridge_pid=""
stop() {
  trap - EXIT INT TERM
  if [ -n "$bridge_pid" ]; then kill "$bridge_pid" 2>/dev/null || true; wait "$bridge_pid" 2>/dev/null || true; fi
  echo "demo stopped"
}
trap stop EXIT
trap 'exit 130' INT TERM

# The bridge starts a moment after the stand-in, so its first requests find it.
# Its standard input is empty: should it fail to start, it ends at once.
(sleep 1 && exec ./build/tavrik --xplane --port "$port" </dev/null) &
bridge_pid=$!
echo "Map:        http://localhost:$port/map"
echo "Live state: http://localhost:$port/state"
echo "(p + Enter pauses the stand-in, Ctrl-C stops the demo)"
./build/xplane-standin 127.0.0.1
