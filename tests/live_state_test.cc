#include "state/live_state.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

namespace tavrik {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

std::string number(double v) {
  std::string s;
  append_number(s, v);
  return s;
}

TEST(LiveStateTest, NumbersAreShortestRoundTripWithoutExponent) {
  struct Case {
    double value;
    std::string text;
  } cases[] = {
      {250.0, "250"},
      {-0.0, "-0"},
      {0.0, "0"},
      {0.1, "0.1"},
      {1500.5, "1500.5"},
      {-122.25, "-122.25"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {static_cast<double>(47.462f), "47.46200180053711"},
      {static_cast<double>(FLT_MAX), "340282346638528860000000000000000000000"},
      {51.44444444444445, "51.44444444444445"},
      {1000 * 0.3048, "304.8"},
      {5e-324, "0." + std::string(323, '0') + "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(number(c.value), c.text) << c.text;
}

TEST(LiveStateTest, NumberTextReadsBackToTheSameValue) {
  for (double v : {DBL_MAX, -DBL_MAX, DBL_MIN, 1.0 / 3, 2.0 / 3 * 1e-300, 123456789012345678.0}) {
    std::string text = number(v);
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
}

LiveState fresh_state(Instant now) {
  LiveState s;
  s.sim = SimKind::xp;
  s.values[Value::LAT] = 47.5;
  s.values[Value::LON] = 8.25;
  s.t = 1700000000000;
  s.last_update = now;
  s.update_count = 1;
  return s;
}

TEST(LiveStateTest, SnapshotTexts) {
  Instant now = MonotonicClock::now();
  LiveState start;
  EXPECT_EQ(build_live_snapshot(start, now), "{\"live\":false}");

  LiveState s = fresh_state(now - std::chrono::seconds(1));
  EXPECT_EQ(build_live_snapshot(s, now),
            "{\"live\":true,\"sim\":\"xp\",\"t\":1700000000000,\"lat\":47.5,\"lon\":8.25}");

  s.sim = SimKind::msfs;
  s.values = {47.5, -122.25, 1500.5, 90.0, 61.5, 120.0, -500.0, 300.0};
  EXPECT_EQ(build_live_snapshot(s, now),
            "{\"live\":true,\"sim\":\"msfs\",\"t\":1700000000000,\"lat\":47.5,\"lon\":-122.25,\"alt\":1500.5,"
            "\"hdg\":90,\"gs\":61.5,\"ias\":120,\"vs\":-500,\"agl\":300}");

  s.values[Value::IAS] = std::numeric_limits<double>::infinity();
  s.values[Value::HDG] = -std::numeric_limits<double>::infinity();
  s.values[Value::LAT] = std::nan("");
  s.values[Value::VS].reset();
  EXPECT_EQ(
      build_live_snapshot(s, now),
      "{\"live\":true,\"sim\":\"msfs\",\"t\":1700000000000,\"lon\":-122.25,\"alt\":1500.5,\"gs\":61.5,\"agl\":300}");
}

TEST(LiveStateTest, LiveTest) {
  Instant now = MonotonicClock::now();
  struct Case {
    const char* name;
    void (*change)(LiveState&, Instant);
    bool live;
  } cases[] = {
      {"fresh", [](LiveState&, Instant) {}, true},
      {"2.999999999 s old",
       [](LiveState& s, Instant n) { s.last_update = n - (std::chrono::seconds(3) - nanoseconds(1)); }, true},
      {"exactly 3 s old", [](LiveState& s, Instant n) { s.last_update = n - std::chrono::seconds(3); }, false},
      {"stamped in the future", [](LiveState& s, Instant n) { s.last_update = n + std::chrono::seconds(10); }, true},
      {"never stamped", [](LiveState& s, Instant) { s.last_update.reset(); }, false},
      {"lon absent", [](LiveState& s, Instant) { s.values[Value::LON].reset(); }, false},
      {"lat absent", [](LiveState& s, Instant) { s.values[Value::LAT].reset(); }, false},
      {"lat NaN", [](LiveState& s, Instant) { s.values[Value::LAT] = std::nan(""); }, true},
      {"no simulator", [](LiveState& s, Instant) { s.sim = SimKind::none; }, false},
  };
  for (const auto& c : cases) {
    LiveState s = fresh_state(now);
    c.change(s, now);
    EXPECT_EQ(is_live(s, now), c.live) << c.name;
    EXPECT_EQ(build_live_snapshot(s, now) == "{\"live\":false}", !c.live) << c.name;
  }
}

TEST(LiveStateTest, MarkUpdatedStampsTimeAndCount) {
  LiveState s;
  s.update_count = UINT64_MAX;
  Instant now = MonotonicClock::now();
  mark_updated(s, now, WallClock::time_point(milliseconds(1700000000123) + nanoseconds(999999)));
  EXPECT_EQ(s.last_update, now);
  EXPECT_EQ(s.t, 1700000000123u);
  EXPECT_EQ(s.update_count, 0u);  // wraps
  mark_updated(s, now, WallClock::time_point(-milliseconds(5)));
  EXPECT_EQ(s.t, 0u);
  EXPECT_EQ(s.update_count, 1u);
}

}  // namespace

}  // namespace tavrik
