// Building the live snapshot with every value, against the same JSON made
// with snprintf("%.17g") (which is neither shortest nor exponent-free: a yardstick only).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "state/live_state.h"

namespace tavrik {

namespace {

// Values as the feeds leave them, named by the program's value table. A value
// not named here still gets a widened float, so the JSON always holds them all.
struct NamedValue {
  Value value;
  double number;
};
constexpr NamedValue FLIGHT[] = {
    {Value::LAT, 47.46200180053711},
    {Value::LON, -122.30892181396484},
    {Value::ALT, 1523.8260498046875},
    {Value::HDG, 271.2340087890625},
    {Value::GS, 61.73400115966797},
    {Value::IAS, 119.5},
    {Value::VS, -512.25},
    {Value::AGL, 304.79998779296875},
};

LiveState full_state() {
  LiveState s;
  s.sim = SimKind::msfs;
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) s.values[i] = static_cast<double>(static_cast<float>(10.3 + 7.1 * i));
  for (const NamedValue& named : FLIGHT) s.values[named.value] = named.number;
  s.t = 1700000000000;
  s.update_count = 42;
  s.last_update = MonotonicClock::now() + std::chrono::hours(1);  // stays live for the run
  return s;
}

void BM_BuildLiveSnapshot(benchmark::State& bench) {
  LiveState s = full_state();
  for (auto _ : bench) benchmark::DoNotOptimize(build_live_snapshot(s));
  bench.counters["values"] = VALUE_COUNT;
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

}  // namespace tavrik

BENCHMARK_MAIN();
