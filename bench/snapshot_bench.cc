// Building the live snapshot with all eight values, against the same JSON made
// with snprintf("%.17g") (which is neither shortest nor exponent-free: a yardstick only).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "state/live_state.h"

namespace tavrik {

namespace {

LiveState full_state() {
  LiveState s;
  s.sim = SimKind::msfs;
  s.values = {47.46200180053711, -122.30892181396484, 1523.8260498046875, 271.2340087890625, 61.73400115966797, 119.5,
              -512.25,           304.79998779296875};
  s.t = 1700000000000;
  s.update_count = 42;
  s.last_update = MonotonicClock::now() + std::chrono::hours(1);  // stays live for the run
  return s;
}

void BM_BuildLiveSnapshot(benchmark::State& bench) {
  LiveState s = full_state();
  for (auto _ : bench) benchmark::DoNotOptimize(build_live_snapshot(s));
}
BENCHMARK(BM_BuildLiveSnapshot);

void BM_SnprintfYardstick(benchmark::State& bench) {
  LiveState s = full_state();
  for (auto _ : bench) {
    (void)MonotonicClock::now();  // the builder reads the clock too
    char buffer[512];
    int n = std::snprintf(buffer, sizeof buffer, "{\"live\":true,\"sim\":\"%s\",\"t\":%llu", "msfs",
                          static_cast<unsigned long long>(s.t));
    for (std::size_t i = 0; i < VALUE_COUNT; ++i)
      n += std::snprintf(buffer + n, sizeof buffer - static_cast<std::size_t>(n), ",\"%s\":%.17g", VALUE_NAMES[i],
                         *s.values[i]);
    buffer[n++] = '}';
    std::string json(buffer, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(json);
  }
}
BENCHMARK(BM_SnprintfYardstick);

}  // namespace

BENCHMARK_MAIN();

}  // namespace tavrik
