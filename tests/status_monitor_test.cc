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

TEST(StatusMonitorTest, TicksEvery500Ms) {
  FakeLoopClock clock;
  clock.on_sleep = [](std::size_t sleeps) {
    if (sleeps == 8) throw StopLoop();
  };
  EXPECT_THROW(run_status_monitor(make_shared_state(), "X-Plane", clock), StopLoop);
  using namespace std::chrono_literals;
  EXPECT_EQ(clock.sleeps(), std::vector<MonotonicClock::duration>(8, 500ms));
}

}  // namespace

}  // namespace tavrik
