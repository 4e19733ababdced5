// The event stream: its bytes, when an event is due, and a few real-time runs.
#include "server/event_stream.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/fake_loop_clock.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const std::string HEADER = "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                           "Content-Type: text/event-stream\r\n"
                           "Cache-Control: no-cache\r\n"
                           "Connection: keep-alive\r\n"
                           "\r\n"
                           "retry: 2000\n\n";

TEST(EventStreamTest, EventIsDueOnANewCountOrAfterAHeartbeat) {
  const std::uint64_t NEVER = ~std::uint64_t{0};
  Instant start = MonotonicClock::now();
  struct Case {
    std::uint64_t count, last_sent_count;
    std::chrono::milliseconds since_last_sent;  // negative: the clock reads before last_sent_at
    bool due;
  } cases[] = {
      {0, NEVER, -2000ms, true},  // the first poll: start values
      {0, NEVER, 0ms, true},
      {NEVER, NEVER, 2000ms, true},  // the count really is 2^64-1: the heartbeat still sends
                                     // at once
      {5, 5, 0ms, false},
      {5, 5, 180ms, false},
      {5, 5, 999ms, false},
      {5, 5, 1000ms, true},
      {5, 5, 1080ms, true},
      {5, 5, -5000ms, false},  // a clock before the last event counts as no time passed
      {6, 5, 0ms, true},
      {4, 5, 10ms, true},  // any difference, wrap-around included
  };
  for (const Case& c : cases)
    EXPECT_EQ(event_due(c.count, c.last_sent_count, start + c.since_last_sent, start), c.due)
        << c.count << " " << c.last_sent_count << " " << c.since_last_sent.count();
}

void make_live(LiveStateHolder& holder, Instant stamped, double lat) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  holder.record.values[Value::LAT] = lat;
  holder.record.values[Value::LON] = 8.25;
  holder.record.sim = SimKind::xp;
  mark_updated(holder.record, stamped, WallClock::time_point(std::chrono::milliseconds(1700000000000)));
}

std::string live_event(const char* lat) {
  return std::string("data: {\"live\":true,\"sim\":\"xp\",\"t\":1700000000000,\"lat\":") + lat + ",\"lon\":8.25}\n\n";
}

// 21 polls 180 ms apart, from a record nothing has written yet; each row is
// what the client has when that poll sleeps. The header and the first event
// at once, an update at the next poll, then a heartbeat on every sixth poll
// (1.08 s), the first one 3 s after the update not live.
TEST(EventStreamTest, EachPollSendsWhatIsDueBeforeItSleeps) {
  SharedState state = make_shared_state();
  FakeLoopClock clock;
  std::vector<std::string> expected(21);
  expected[0] = HEADER + NOT_LIVE_EVENT;
  expected[2] = expected[8] = expected[14] = live_event("48.5");  // the update at 360 ms, then heartbeats
  expected[20] = NOT_LIVE_EVENT;                                  // 3.24 s after it
  std::vector<std::string> received;
  bool mutex_free_in_sleeps = true;
  ServedConnection run([&](platform::Socket stream) {
    clock.on_sleep = [&](std::size_t sleeps) {
      const std::string& due = expected[sleeps - 1];
      // What was sent is on its way already; only a wrong extra event could still come.
      received.push_back(due.empty() ? receive_until(run.client, 20ms).bytes : read_until(run.client, due, 3s));
      std::unique_lock<std::mutex> lock(state->mutex, std::try_to_lock);
      mutex_free_in_sleeps = mutex_free_in_sleeps && lock.owns_lock();
      lock = {};
      if (sleeps == 2) make_live(*state, clock.now(), 48.5);
      if (sleeps == 21) throw StopLoop();
    };
    try {
      serve_event_stream(stream, state, clock);
    } catch (const StopLoop&) {
    }
  });
  run.join();
  EXPECT_EQ(received, expected);
  EXPECT_EQ(clock.sleeps(), std::vector<MonotonicClock::duration>(21, 180ms));
  EXPECT_TRUE(mutex_free_in_sleeps);
}

}  // namespace

}  // namespace tavrik
