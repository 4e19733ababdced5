// The event stream: its bytes, when an event is due, and a few real-time runs.
#include "server/event_stream.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/listener.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const std::string HEADER =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n"
    "\r\n"
    "retry: 2000\n\n";
const std::string NOT_LIVE_EVENT = "data: {\"live\":false}\n\n";

TEST(EventStreamTest, HeaderAndEventBytes) {
  EXPECT_EQ(stream_header(), HEADER);
  EXPECT_EQ(format_event("{\"live\":false}"), NOT_LIVE_EVENT);
}

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

// serve_event_stream on its own thread over a loopback connection.
class StreamRun {
 public:
  explicit StreamRun(SharedState state) {
    std::string failure;
    listener_ = open_listener(0, &failure);
    int error = 0;
    client = platform::connect_tcp(*platform::local_address(listener_), &error);
    server_ = std::thread([this, state] {
      int error = 0;
      platform::Socket stream = platform::accept_connection(listener_, &error);
      serve_event_stream(stream, state);
    });
  }
  // The client leaves; the stream must end at its next write.
  ~StreamRun() {
    client.close();
    server_.join();
  }
  platform::Socket client;

 private:
  platform::Socket listener_;
  std::thread server_;
};

void make_live(LiveStateHolder& holder, Instant stamped, double lat) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  holder.record.values[Value::LAT] = lat;
  holder.record.values[Value::LON] = 8.25;
  holder.record.sim = SimKind::xp;
  mark_updated(holder.record, stamped, WallClock::time_point(std::chrono::milliseconds(1700000000000)));
}

TEST(EventStreamTest, FirstEventAtOnceThenHeartbeatsNoOftenerThanASecond) {
  SharedState state = make_shared_state();
  StreamRun run(state);
  std::string got = read_until(run.client, NOT_LIVE_EVENT, 3s);
  EXPECT_EQ(got, HEADER + NOT_LIVE_EVENT);
  auto first = MonotonicClock::now();
  got = read_until(run.client, NOT_LIVE_EVENT, 5s);
  auto gap = MonotonicClock::now() - first;
  EXPECT_EQ(got, NOT_LIVE_EVENT);  // identical events, bare line feeds, nothing else between
  EXPECT_GE(gap, 900ms);           // a heartbeat, not a poll
  std::unique_lock<std::mutex> lock(state->mutex, std::try_to_lock);
  EXPECT_TRUE(lock.owns_lock());  // free between polls
}

TEST(EventStreamTest, UpdatesAreSentAndQuietDataTurnsNotLive) {
  SharedState state = make_shared_state();
  // Stamped 2.5 s ago: live now, not live by the first heartbeat.
  make_live(*state, MonotonicClock::now() - 2500ms, 47.5);
  StreamRun run(state);
  const std::string live_event = R"(data: {"live":true,"sim":"xp","t":1700000000000,"lat":47.5,"lon":8.25})"
                                 "\n\n";
  EXPECT_EQ(read_until(run.client, live_event, 3s), HEADER + live_event);
  EXPECT_EQ(read_until(run.client, NOT_LIVE_EVENT, 5s), NOT_LIVE_EVENT);

  make_live(*state, MonotonicClock::now(), 48.5);  // a feed update: sent at the next poll
  std::string updated = R"(data: {"live":true,"sim":"xp","t":1700000000000,"lat":48.5,"lon":8.25})"
                        "\n\n";
  EXPECT_EQ(read_until(run.client, updated, 3s), updated);
}

}  // namespace

}  // namespace tavrik
