#include "server/event_stream.h"

#include <limits>

#include "server/http_response.h"

namespace tavrik {
namespace {

struct Poll {
  std::uint64_t count = 0;
  std::string snapshot;
};

// Count and snapshot under one hold, so an event's values belong to its count.
Poll poll_state(LiveStateHolder& holder, LoopClock& clock) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  return {holder.record.update_count, build_live_snapshot(holder.record, clock.now())};
}

}  // namespace

std::string stream_header() {
  std::string header(STATUS_LINE_OK);
  header += CORS_HEADERS;
  header +=
      "Content-Type: text/event-stream\r\n"
      "Cache-Control: no-cache\r\n"
      "Connection: keep-alive\r\n"
      "\r\n"
      "retry: 2000\n\n";
  return header;
}

std::string format_event(std::string_view snapshot) {
  std::string event = "data: ";
  event += snapshot;
  event += "\n\n";
  return event;
}

bool event_due(std::uint64_t count, std::uint64_t last_sent_count, Instant now, Instant last_sent_at) {
  if (count != last_sent_count) return true;
  return now >= last_sent_at && now - last_sent_at >= STREAM_HEARTBEAT;
}

void serve_event_stream(const platform::Socket& stream, const SharedState& holder, LoopClock& clock) {
  if (!platform::send_all(stream, stream_header())) return;
  platform::set_no_delay(stream);  // a failure only delays events a little
  // Hundreds of streams each sleep 180 ms: letting their wake-ups fall
  // together a few milliseconds late costs a map nothing and the machine less.
  platform::allow_late_wakeups(STREAM_WAKEUP_SLACK);
  // Both starting values make the first poll send at once.
  std::uint64_t last_sent_count = std::numeric_limits<std::uint64_t>::max();
  Instant last_sent_at = clock.now() - std::chrono::seconds(2);
  for (;;) {
    Poll poll = poll_state(*holder, clock);
    if (event_due(poll.count, last_sent_count, clock.now(), last_sent_at)) {
      if (!platform::send_all(stream, format_event(poll.snapshot))) return;
      last_sent_at = clock.now();
      last_sent_count = poll.count;
    }
    clock.sleep_for(STREAM_POLL_INTERVAL);
  }
}

}  // namespace tavrik
