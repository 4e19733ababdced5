#!/usr/bin/env bash
# Runs every benchmark of the bridge and prints one table: each figure with its
# target or the yardstick measured in the same run. Linux only (the Windows
# build is measured by size). Installs what it needs on Debian when missing
# (scripts/packages.sh, the full list) and the browser tests' locked driver
# for the map page's figures.
#   bash bench/run.sh           full run (about 6 minutes)
#   bash bench/run.sh --short   every figure from short windows (about a minute
#                               once built), as scripts/test-all.sh runs it
# The run fails when a figure cannot be produced (a build, a tool or a
# measurement failed), never because a figure misses its target: that shows
# as "NO" in the table. Windows and counts, each overridable:
#   BENCH_SECONDS   idle, fan-out and map page windows, s  (60; short 3)
#   BENCH_STREAMS   fan-out streams                    (1000; short 50)
#   BENCH_UPDATES   latency updates                    (300; short 20)
#   BENCH_STARTUPS  start-ups timed                    (20; short 5)
#   BENCH_MIN_TIME  Google Benchmark min time, s       (1; short 0.05)
#   WRK_SECONDS     each throughput window, s          (10; short 2)
#   BENCH_MAP_HOURS hours of flight fed to the map page  (10; short 1)
set -euo pipefail
cd "$(dirname "$0")/.."
short=
[ "${1:-}" = --short ] && short=1
pick() { [ -n "$short" ] && echo "$2" || echo "$1"; }  # pick <full> <short>
seconds=${BENCH_SECONDS:-$(pick 60 3)}
streams=${BENCH_STREAMS:-$(pick 1000 50)}
updates=${BENCH_UPDATES:-$(pick 300 20)}
startups=${BENCH_STARTUPS:-$(pick 20 5)}
min_time=${BENCH_MIN_TIME:-$(pick 1 0.05)}
export WRK_SECONDS=${WRK_SECONDS:-$(pick 10 2)}
map_hours=${BENCH_MAP_HOURS:-$(pick 10 1)}
bash scripts/packages.sh install full
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

results=$(mktemp)
log=$(mktemp)
trap 'rm -f "$results" "$log"' EXIT
# quiet <what> <command...>: the command's output only when it fails.
quiet() {
  local what=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "bench: $what failed" >&2; exit 1; }
}
# figure <what> <command...>: appends the command's JSON rows; a failure or no row fails the run.
figure() {
  local what=$1 before after
  shift
  before=$(grep -c '^{' "$results" || true)
  "$@" >>"$results" || { echo "bench: $what failed, no figure" >&2; exit 1; }
  after=$(grep -c '^{' "$results" || true)
  [ "$after" -gt "$before" ] || { echo "bench: $what gave no figure" >&2; exit 1; }
}

quiet "configuring build-bench" cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIK_BENCH=ON \
  -DTAVRIK_TESTS=OFF
quiet "building build-bench" cmake --build build-bench
# The Windows program as scripts/release.sh builds it (Release, then stripped).
quiet "configuring build-win-release" cmake -S . -B build-win-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTAVRIK_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-insert-timestamp
quiet "building build-win-release" cmake --build build-win-release --target tavrik
exe=build-bench/tavrik

# 1. Snapshot building against the snprintf("%.17g") yardstick.
snapshot() {
  build-bench/bench/snapshot_bench --benchmark_format=json --benchmark_min_time="$min_time" 2>/dev/null | python3 -c '
import json, sys
runs = {x["name"]: x for x in json.load(sys.stdin)["benchmarks"]}
ours, yard = runs["BM_BuildLiveSnapshot"]["cpu_time"], runs["BM_SnprintfYardstick"]["cpu_time"]
print(json.dumps({"name": "build_live_snapshot, all %d values" % runs["BM_BuildLiveSnapshot"]["values"],
  "value": round(ours, 1), "unit": "ns", "target": "not slower than yardstick", "ok": ours <= yard,
  "yardstick": "snprintf %%.17g: %.1f ns" % yard}))
'
}
figure "snapshot benchmark" snapshot

# 2. /state throughput, one request per connection, against nginx serving the same bytes.
figure "throughput" bash bench/throughput.sh "$exe"

# 3-6. Latency, fan-out, idle cost, start-up.
figure "start-up" python3 bench/bridge_bench.py "$exe" startup --startups "$startups"
figure "latency" python3 bench/bridge_bench.py "$exe" latency --updates "$updates"
figure "idle" python3 bench/bridge_bench.py "$exe" idle --seconds "$seconds"
figure "fan-out" python3 bench/bridge_bench.py "$exe" fanout --seconds "$seconds" --streams "$streams"
figure "EFB" python3 bench/bridge_bench.py "$exe" efb --seconds "$seconds" --updates "$updates"

# 7. The kept track: memory for 24 hours of it, and the feed's lock wait and
# the stream's latency while clients fetch /track.gpx of a full track.
figure "track" build-bench/bench/track_bench "$seconds" 2

# 7b. Traffic: each feed's CPU with as many aircraft as it brings, and /traffic's latency meanwhile.
figure "traffic" build-bench/bench/traffic_bench "$seconds"

# 8. Windows build size, the map page and its files built in.
windows_size() {
  local size dlls
  x86_64-w64-mingw32-strip -o build-win-release/tavrik-stripped.exe build-win-release/tavrik.exe
  size=$(stat -c %s build-win-release/tavrik-stripped.exe)
  dlls=$(find build-win-release -maxdepth 1 -iname '*.dll' | wc -l)
  python3 -c "import json; print(json.dumps({'name': 'tavrik.exe size (static, Release, stripped, as released)', 'value': $size, 'unit': 'bytes', 'target': '< 1.5 MiB, no DLL beside it', 'ok': $size < 1536*1024 and $dlls == 0, 'yardstick': None}))"
}
figure "Windows size" windows_size

# 9. The example map page in headless Chromium (tests/browser's driver, installed as locked).
[ -d tests/browser/node_modules/playwright-core ] ||
  quiet "installing the browser driver" sh -c 'cd tests/browser && npm ci --no-audit --no-fund --loglevel=error'
figure "map page" node bench/map_page_bench.mjs --seconds "$seconds" --hours "$map_hours"

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores, $(free -g | awk '/Mem:/{print $2}') GiB, Linux $(uname -r), $(date -u +%Y-%m-%d)${short:+ (short run)}"
echo
python3 - "$results" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
print("| figure | value | target / yardstick | met |")
print("|---|---|---|---|")
for r in rows:
    yard = (r.get("target") or "") + ("; " + r["yardstick"] if r.get("yardstick") else "")
    print("| %s | %s %s | %s | %s |" % (r["name"], r["value"], r["unit"], yard, "yes" if r["ok"] else "NO"))
PY
