#include "monitor/status_monitor.h"

#include "platform/platform.h"

namespace tavrik {

MonitorState monitor_state_for(SimKind live) {
  switch (live) {
    case SimKind::xp:
      return MonitorState::xp;
    case SimKind::msfs:
      return MonitorState::msfs;
    default:
      return MonitorState::none;
  }
}

std::optional<std::string> monitor_line(MonitorState previous, MonitorState current, const std::string& label) {
  if (previous == current) return std::nullopt;
  switch (current) {
    case MonitorState::xp:
      return "✓ receiving data from X-Plane\n";
    case MonitorState::msfs:
      return "✓ receiving data from MSFS\n";
    default:
      return "… waiting for " + label + " (is a flight loaded?)\n";
  }
}

namespace {

SimKind live_sim(LiveStateHolder& holder, LoopClock& clock) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  return is_live(holder.record, clock.now()) ? holder.record.sim : SimKind::none;
}

}  // namespace

void run_status_monitor(SharedState holder, std::string label, LoopClock& clock) {
  MonitorState reported = MonitorState::initial;
  for (;;) {
    MonitorState current = monitor_state_for(live_sim(*holder, clock));
    if (auto line = monitor_line(reported, current, label))
      platform::write_console(platform::ConsoleStream::out, *line);
    reported = current;
    clock.sleep_for(MONITOR_TICK);
  }
}

}  // namespace tavrik
