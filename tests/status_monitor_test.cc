#include "monitor/status_monitor.h"

#include <gtest/gtest.h>

#include "support/fake_loop_clock.h"

namespace tavrik {

namespace {

const std::string WAITING = "… waiting for X-Plane or MSFS (is a flight loaded?)\n";
const std::string XP = "✓ receiving data from X-Plane\n";
const std::string MSFS = "✓ receiving data from MSFS\n";

TEST(StatusMonitorTest, TransitionTable) {
  using M = MonitorState;
  struct Case {
    M previous;
    SimKind live;
    std::string printed;
    M next;
  } cases[] = {
      {M::initial, SimKind::none, WAITING, M::none},
      {M::initial, SimKind::xp, XP, M::xp},
      {M::initial, SimKind::msfs, MSFS, M::msfs},
      {M::none, SimKind::none, "", M::none},
      {M::none, SimKind::xp, XP, M::xp},
      {M::none, SimKind::msfs, MSFS, M::msfs},
      {M::xp, SimKind::xp, "", M::xp},
      {M::xp, SimKind::none, WAITING, M::none},
      {M::xp, SimKind::msfs, MSFS, M::msfs},
      {M::msfs, SimKind::msfs, "", M::msfs},
      {M::msfs, SimKind::none, WAITING, M::none},
      {M::msfs, SimKind::xp, XP, M::xp},
  };
  for (const auto& c : cases) {
    M current = monitor_state_for(c.live);
    EXPECT_EQ(current, c.next);
    EXPECT_EQ(monitor_line(c.previous, current, "X-Plane or MSFS").value_or(""), c.printed);
  }
}

void stamp(LiveStateHolder& holder, SimKind sim, Instant at) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  holder.record.values[Value::LAT] = 47.5;
  holder.record.values[Value::LON] = 8.25;
  holder.record.sim = sim;
  mark_updated(holder.record, at, WallClock::now());
}

// Twelve ticks 500 ms apart on a fake clock; each row is what that tick
// printed. The waiting line at once, each change at the first tick that sees
// it, and nothing on the ticks between: X-Plane stamps at 1 s, MSFS at 2 s,
// then silence, not live from 5 s (3 s after the last update).
TEST(StatusMonitorTest, OneLineAtTheFirstTickOfEachChange) {
  SharedState state = make_shared_state();
  FakeLoopClock clock;
  std::vector<std::string> printed;
  clock.on_sleep = [&](std::size_t ticks) {
    printed.push_back(testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
    if (ticks == 2) stamp(*state, SimKind::xp, clock.now());
    if (ticks == 4) stamp(*state, SimKind::msfs, clock.now());
    if (ticks == 12) throw StopLoop();
  };
  testing::internal::CaptureStdout();
  EXPECT_THROW(run_status_monitor(state, "X-Plane or MSFS", clock), StopLoop);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> expected(12);
  expected[0] = WAITING;
  expected[2] = XP;
  expected[4] = MSFS;
  expected[10] = WAITING;
  EXPECT_EQ(printed, expected);
  using namespace std::chrono_literals;
  EXPECT_EQ(clock.sleeps(), std::vector<MonotonicClock::duration>(12, 500ms));
}

}  // namespace

}  // namespace tavrik
