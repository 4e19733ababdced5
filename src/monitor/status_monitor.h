// The console status monitor: one line whenever live data starts or stops.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

constexpr auto MONITOR_TICK = std::chrono::milliseconds(500);

// What the monitor last reported; `initial` until its first tick.
enum class MonitorState { initial, none, xp, msfs };

// The monitor's state for what one tick saw (`live` is the simulator when the
// record is live, SimKind::none otherwise).
MonitorState monitor_state_for(SimKind live);

// The line to print on moving from `previous` to `current`, if any.
std::optional<std::string> monitor_line(MonitorState previous, MonitorState current, const std::string& label);

// Thread body: a tick every 500 ms by `clock`, the first at once. Never returns.
[[noreturn]] void run_status_monitor(SharedState holder, std::string label, LoopClock& clock = real_loop_clock());

}  // namespace tavrik
