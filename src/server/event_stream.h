// The Server-Sent Events stream of live snapshots ("/stream").
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

constexpr std::chrono::milliseconds STREAM_POLL_INTERVAL{180};
constexpr std::chrono::milliseconds STREAM_HEARTBEAT{1000};
// How late a stream's poll may wake, so that many streams' timers coalesce.
constexpr std::chrono::microseconds STREAM_WAKEUP_SLACK{5000};

// The HTTP header of the stream followed by its "retry: 2000" field.
std::string stream_header();

// "data: <snapshot>\n\n".
std::string format_event(std::string_view snapshot);

// An event is due when the count moved since the last event, or once a
// heartbeat has passed since it was sent (a clock before `last_sent_at`
// counts as no time passed).
bool event_due(std::uint64_t count, std::uint64_t last_sent_count, Instant now, Instant last_sent_at);

// Streams events to `stream` until a write fails; the caller then closes it.
// Takes the state's mutex once per poll, never across a write or a sleep.
// Polls and sleeps by `clock`.
void serve_event_stream(const platform::Socket& stream, const SharedState& holder,
                        LoopClock& clock = real_loop_clock());

}  // namespace tavrik
