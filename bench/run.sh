#!/usr/bin/env bash
# Runs every benchmark of the bridge and prints one table: each figure with its
# target or the yardstick measured in the same run. Linux only (the Windows
# build is measured by size). Installs what it needs on Debian (and the browser
# tests' locked driver for the map page's figures).
#   bash bench/run.sh            full run (about 4 minutes)
#   BENCH_SECONDS=10 bash bench/run.sh   shorter idle and fan-out windows
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${BENCH_SECONDS:-60}
need=()
for pkg in wrk nginx-light python3 libbenchmark-dev g++-mingw-w64-x86-64-posix; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIK_BENCH=ON -DTAVRIK_TESTS=OFF >/dev/null
cmake --build build-bench >/dev/null
cmake -S . -B build-win-release -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DTAVRIK_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win-release --target tavrik >/dev/null
exe=build-bench/tavrik
results=$(mktemp)
trap 'rm -f "$results"' EXIT

# 1. Snapshot building against the snprintf("%.17g") yardstick.
build-bench/bench/snapshot_bench --benchmark_format=json --benchmark_min_time=1 2>/dev/null | python3 -c '
import json, sys
b = {x["name"]: x["cpu_time"] for x in json.load(sys.stdin)["benchmarks"]}
ours, yard = b["BM_BuildLiveSnapshot"], b["BM_SnprintfYardstick"]
print(json.dumps({"name": "build_live_snapshot, eight values", "value": round(ours, 1), "unit": "ns",
  "target": "not slower than yardstick", "ok": ours <= yard, "yardstick": "snprintf %%.17g: %.1f ns" % yard}))
' >>"$results"

# 2. /state throughput, one request per connection, against nginx serving the same bytes.
bash bench/throughput.sh "$exe" >>"$results"

# 3-6. Latency, fan-out, idle cost, start-up.
python3 bench/bridge_bench.py "$exe" startup latency >>"$results"
python3 bench/bridge_bench.py "$exe" idle --seconds "$seconds" >>"$results"
python3 bench/bridge_bench.py "$exe" fanout --seconds "$seconds" --streams "${BENCH_STREAMS:-1000}" >>"$results"

# 7. Windows build size.
size=$(stat -c %s build-win-release/tavrik.exe)
dlls=$(find build-win-release -maxdepth 1 -iname '*.dll' | wc -l)
python3 -c "import json; print(json.dumps({'name': 'tavrik.exe size (static, MinSizeRel, stripped)', 'value': $size, 'unit': 'bytes', 'target': '< 2 MiB, no DLL beside it', 'ok': $size < 2*1024*1024 and $dlls == 0, 'yardstick': None}))" >>"$results"

# 8. The example map page in headless Chromium (tests/browser's driver, installed as locked).
[ -d tests/browser/node_modules/playwright-core ] || (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
node bench/map_page_bench.mjs --seconds "$seconds" >>"$results"

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores, $(free -g | awk '/Mem:/{print $2}') GiB, Linux $(uname -r), $(date -u +%Y-%m-%d)"
echo
python3 - "$results" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
print("| figure | value | target / yardstick | met |")
print("|---|---|---|---|")
for r in rows:
    yard = r["target"] + ("; " + r["yardstick"] if r.get("yardstick") else "")
    print("| %s | %s %s | %s | %s |" % (r["name"], r["value"], r["unit"], yard, "yes" if r["ok"] else "NO"))
PY
