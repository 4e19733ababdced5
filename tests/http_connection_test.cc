// handle_connection against real loopback clients, with short time-outs.
#include "server/http_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "server/listener.h"
#include "support/fake_loop_clock.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string NO_CONTENT = "HTTP/1.1 204 No Content\r\n" + CORS_BLOCK + "Content-Length: 0\r\n\r\n";
const std::string& TEXT = TEXT_ANSWER;
const std::string NO_TRACK = "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                             "Content-Type: application/json\r\nContent-Length: 15\r\n\r\n{\"segments\":[]}";
const std::string NO_TRAFFIC = "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                               "Content-Type: application/json\r\nContent-Length: 15\r\n\r\n{\"aircraft\":[]}";
const std::string NO_TRACK_GPX =
    "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
    "Content-Type: application/gpx+xml\r\nContent-Disposition: attachment; filename=\"tavrik-track.gpx\"\r\n"
    "Content-Length: 323\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gpx version=\"1.1\" creator=\"tavrik live map\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
    "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n<trk><name>tavrik track</name>\n</trk>\n</gpx>\n";
const std::string NO_TRACK_KML =
    "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
    "Content-Type: application/vnd.google-earth.kml+xml\r\nContent-Disposition: attachment; "
    "filename=\"tavrik-track.kml\"\r\nContent-Length: 139\r\n\r\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document><name>tavrik track</name>\n</Document>\n</kml>\n";
const ConnectionLimits FAST{.read_timeout = 300ms, .head_budget = 3000ms, .send_timeout = 3000ms};

// handle_connection on the first connection to a loopback listener.
struct OneConnection : ServedConnection {
  explicit OneConnection(ConnectionLimits limits = FAST, SharedState state = make_shared_state(), Caller caller = {})
      : ServedConnection(
            [=](platform::Socket stream) { handle_connection(std::move(stream), state, limits, caller); }) {}
};

Received exchange(const std::string& request, bool half_close = false, ConnectionLimits limits = FAST,
                  Clock::duration* took = nullptr) {
  OneConnection connection(limits);
  auto start = Clock::now();
  platform::send_all(connection.client, request);
  if (half_close) platform::shutdown_send(connection.client);
  Received reply = receive_until(connection.client, 6s);
  if (took) *took = Clock::now() - start;
  return reply;
}

TEST(HttpConnectionTest, ListenerIsBoundTo127001Only) {
  std::string failure;
  platform::Socket listener = open_listener(0, false, &failure);
  ASSERT_TRUE(listener.valid()) << failure;
  auto bound = platform::local_address(listener);
  ASSERT_TRUE(bound.has_value());
  EXPECT_EQ(platform::format_address({bound->ip, 0}), "127.0.0.1:0");
  EXPECT_NE(bound->port, 0);
}

// Every case on a client of its own, side by side: each is answered (or
// closed) at once, or only when the 1.5 s receive time-out ends the head.
TEST(HttpConnectionTest, AnswersByteForByteOrNotAtAllAndClosesAtOnceOrAtTheTimeOut) {
  const ConnectionLimits limits{.read_timeout = 1500ms, .head_budget = 4000ms, .send_timeout = 3000ms};
  enum When { AT_ONCE, AT_TIME_OUT };
  const std::string NOTHING;
  std::string many_headers = "GET /state HTTP/1.1\r\n";
  for (int i = 0; i < 500; ++i) many_headers += "X-" + std::to_string(i) + ": y\r\n";
  struct Case {
    std::string request;
    const std::string& answer;
    When when = AT_ONCE;
  } cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\nOrigin: http://map.example\r\n\r\n", NO_CONTENT},
      {"OPTIONS\r\n\r\n", NO_CONTENT},
      {"options /state HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", NOT_LIVE_JSON},
      {"HEAD /state HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"DELETE /state HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"POST /state HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world", NOT_LIVE_JSON},
      {"GET /state?x=1 HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"GET /state HTTP/1.1\nHost: x\n\n", NOT_LIVE_JSON},
      {" \tGET \t /state\tHTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"\xE3\x80\x80GET\xC2\xA0/state\xE2\x80\x83HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},
      {"GET /state HTTP/1.1\r\nX-Odd: \xFF\r\nHost: x\r\n\r\n", NOT_LIVE_JSON},  // bad header: answered anyway
      {"GET /state HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n", NOT_LIVE_JSON},      // the second is never answered
      {"HEAD / HTTP/1.1\r\n\r\n", TEXT},
      {"GET / HTTP/1.1\r\n\r\n", TEXT},
      {"GET /state/ HTTP/1.1\r\n\r\n", TEXT},
      {"GET /STATE HTTP/1.1\r\n\r\n", TEXT},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", TEXT},
      {"GET\r\n\r\n", TEXT},
      {"GET /track HTTP/1.1\r\n\r\n", NO_TRACK},
      {"GET /track?since=x HTTP/1.1\r\n\r\n", NO_TRACK},
      {"GET /track/thin?since=1 HTTP/1.1\r\n\r\n", NO_TRACK},
      {"POST /track.gpx HTTP/1.1\r\n\r\n", NO_TRACK_GPX},
      {"GET /traffic?x HTTP/1.1\r\n\r\n", NO_TRAFFIC},
      {"GET /track.kml?since=1 HTTP/1.1\r\n\r\n", NO_TRACK_KML},
      {"GET /map/ HTTP/1.1\r\n\r\n", TEXT},
      {"GET /map/index.html HTTP/1.1\r\n\r\n", TEXT},
      {"GET /map/../CMakeLists.txt HTTP/1.1\r\n\r\n", TEXT},
      {"GET /map/%2e%2e/%2e%2e/CMakeLists.txt HTTP/1.1\r\n\r\n", TEXT},
      {"GET /map//leaflet/leaflet.js HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", TEXT},
      {"GET /map/leaflet/nothing.js HTTP/1.1\r\nIf-None-Match: *\r\n\r\n", TEXT},
      {"", NOTHING, AT_TIME_OUT},                               // nothing within the receive time-out
      {"GET /\xFF HTTP/1.1\r\n\r\n", NOTHING},                  // not UTF-8
      {"GET /state HTTP/1.1", NOTHING, AT_TIME_OUT},            // request line never ended
      {"GET /" + std::string(20000, 'a'), NOTHING},             // request line beyond the bound
      {"GET /state HTTP/1.1\r\n", NOT_LIVE_JSON, AT_TIME_OUT},  // then waits: the time-out answers
      {"GET /state HTTP/1.1\r\nHost: x\r\n", NOT_LIVE_JSON, AT_TIME_OUT},
      {many_headers, NOT_LIVE_JSON},  // more header lines than the bound
      {"GET /state HTTP/1.1\r\nX-Long: " + std::string(20000, 'x') + "\r\n", NOT_LIVE_JSON},  // a header beyond it
  };
  std::vector<Received> replies(std::size(cases));
  std::vector<Clock::duration> took(std::size(cases));
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    clients.emplace_back([&, i] { replies[i] = exchange(cases[i].request, false, limits, &took[i]); });
  for (auto& client : clients) client.join();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string name = cases[i].request.substr(0, 60);
    EXPECT_EQ(replies[i].bytes, cases[i].answer) << name;
    EXPECT_TRUE(replies[i].closed) << name;
    // Well below the time-out, or well past two thirds of it and before the head budget.
    if (cases[i].when == AT_ONCE) {
      EXPECT_LT(took[i], 750ms) << name;
    } else {
      EXPECT_GE(took[i], 1000ms) << name;
      EXPECT_LT(took[i], 2800ms) << name;
    }
  }
}

// A built-in file in each of its three answers, byte for byte.
TEST(HttpConnectionTest, BuiltInFileWholeGzipOrNotModified) {
  const BuiltinFile* css = find_builtin_file("/map/leaflet/leaflet.css");
  ASSERT_NE(css, nullptr);
  ASSERT_FALSE(css->gzip_body.empty());
  std::string etag(css->etag);
  std::string head = "HTTP/1.1 200 OK\r\n" + CORS_BLOCK + "Content-Type: text/css; charset=utf-8\r\n";
  std::string tail = "ETag: " + etag +
                     "\r\nCache-Control: no-cache\r\nReferrer-Policy: no-referrer\r\n"
                     "X-Content-Type-Options: nosniff\r\n";
  std::string file = map_file("leaflet/leaflet.css");
  ASSERT_FALSE(file.empty());
  std::string gzip(css->gzip_body);
  struct Case {
    std::string request;
    std::string answer;
  } cases[] = {
      {"GET /map/leaflet/leaflet.css HTTP/1.1\r\n\r\n", head + "Vary: Accept-Encoding\r\n" + tail + "Content-Length: " +
                                                            std::to_string(file.size()) + "\r\n\r\n" + file},
      {"GET /map/leaflet/leaflet.css HTTP/1.1\r\nAccept-Encoding: gzip, br\r\nIf-None-Match: \"old\"\r\n\r\n",
       head + "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n" + tail +
           "Content-Length: " + std::to_string(gzip.size()) + "\r\n\r\n" + gzip},
      {"GET /map/leaflet/leaflet.css HTTP/1.1\r\nAccept-Encoding: gzip;q=0\r\n\r\n",
       head + "Vary: Accept-Encoding\r\n" + tail + "Content-Length: " + std::to_string(file.size()) + "\r\n\r\n" +
           file},
      {"GET /map/leaflet/leaflet.css?v=2 HTTP/1.1\r\nAccept-Encoding: gzip\r\nIf-None-Match: W/" + etag + "\r\n\r\n",
       "HTTP/1.1 304 Not Modified\r\n" + CORS_BLOCK + "Vary: Accept-Encoding\r\n" + tail + "\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(exchange(c.request).bytes, c.answer) << c.request;
}

TEST(HttpConnectionTest, HalfCloseIsAnsweredAtOnce) {
  // With the default 5 s receive time-out, only the half-close can answer in time.
  OneConnection connection(ConnectionLimits{});
  platform::send_all(connection.client, "GET /state HTTP/1.1\r\n");
  platform::shutdown_send(connection.client);
  EXPECT_EQ(receive_until(connection.client, 3s).bytes, NOT_LIVE_JSON);

  Received nothing_sent = exchange("", /*half_close=*/true);
  EXPECT_EQ(nothing_sent.bytes, TEXT);  // an empty request line takes the default route
}

TEST(HttpConnectionTest, TricklingClientIsCutAtTheHeadBudget) {
  ConnectionLimits limits{.read_timeout = 400ms, .head_budget = 1000ms, .send_timeout = 3000ms};
  for (std::string start : {"GET /state HTTP/1.1\r\nX-Slow: ", "GET /sta"}) {
    OneConnection connection(limits);
    platform::send_all(connection.client, start);
    Received reply;
    auto give_up = Clock::now() + 6s;  // each byte comes well within the receive time-out
    while (!reply.closed && Clock::now() < give_up) {
      platform::send_all(connection.client, "a");
      Received part = receive_until(connection.client, 100ms);
      reply.bytes += part.bytes;
      reply.closed = part.closed;
    }
    EXPECT_TRUE(reply.closed) << start;
    EXPECT_EQ(reply.bytes, start.size() > 10 ? NOT_LIVE_JSON : "") << start;
  }
}

TEST(HttpConnectionTest, StateCarriesTheLiveSnapshot) {
  SharedState state = make_shared_state();
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->record.values[Value::LAT] = 47.5;
    state->record.values[Value::LON] = 8.25;
    state->record.sim = SimKind::xp;
    mark_updated(state->record, MonotonicClock::now(), WallClock::time_point(std::chrono::milliseconds(1700000000000)));
  }
  OneConnection connection(FAST, state);
  platform::send_all(connection.client, "GET /state HTTP/1.1\r\n\r\n");
  std::string body = R"({"live":true,"sim":"xp","t":1700000000000,"lat":47.5,"lon":8.25})";
  EXPECT_EQ(receive_until(connection.client, 5s).bytes,
            "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

// Another machine (the peer address stands in for it) without the key gets
// the 403 and nothing else, at once; with the key it gets the route.
TEST(HttpConnectionTest, OtherMachinesNeedTheKey) {
  auto lan = std::make_shared<const LanAccess>(LanAccess{"0123456789abcdef", 49080});
  const Caller tablet{0x0AD50002, lan};
  const std::string forbidden = "HTTP/1.1 403 Forbidden\r\n" + CORS_BLOCK +
                                "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 79\r\n\r\n"
                                "Forbidden: open the tablet address shown in the bridge's window, key included.\n";
  struct Case {
    std::string request;
    Caller caller;
    const std::string& answer;
  } cases[] = {
      {"GET /state HTTP/1.1\r\n\r\n", tablet, forbidden},
      {"GET /stream?key=0123456789abcdeF HTTP/1.1\r\n\r\n", tablet, forbidden},
      {"OPTIONS /state HTTP/1.1\r\n\r\n", tablet, forbidden},
      {"GET /tablet?key=0123456789abcdef HTTP/1.1\r\nHost: localhost:49080\r\n\r\n", tablet, forbidden},
      {"GET /state?key=0123456789abcdef HTTP/1.1\r\n\r\n", tablet, NOT_LIVE_JSON},
      {"OPTIONS /x?key=0123456789abcdef HTTP/1.1\r\n\r\n", tablet, NO_CONTENT},
      {"GET /state HTTP/1.1\r\n\r\n", Caller{0x7F000001, lan}, NOT_LIVE_JSON},
      {"GET /tablet HTTP/1.1\r\nHost: localhost:49080\r\n\r\n", Caller{}, TEXT},  // no --lan: as before
  };
  for (const Case& c : cases) {
    OneConnection connection(FAST, make_shared_state(), c.caller);
    auto start = Clock::now();
    platform::send_all(connection.client, c.request);
    Received reply = receive_until(connection.client, 5s);
    EXPECT_EQ(reply.bytes, c.answer) << c.request;
    EXPECT_TRUE(reply.closed) << c.request;
    EXPECT_LT(Clock::now() - start, 250ms) << c.request;
  }
}

// One plan on one state, request after request: the GET shows the refusals changed nothing.
TEST(HttpConnectionTest, PlanIsChangedFromThisComputerAloneAndRefusalsKeepIt) {
  auto answer = [](std::string status, std::string body, bool json = false, bool cors = false) {
    return "HTTP/1.1 " + status + "\r\n" + (cors ? CORS_BLOCK : "") +
           "Content-Type: " + (json ? "application/json" : "text/plain; charset=utf-8") +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  auto put = [](std::string body, std::string headers = "") {
    return "PUT /plan HTTP/1.1\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string ONE = R"({"name":"Hop","waypoints":[{"name":"LSZH","lat":47.5,"lon":8.5,"alt":432}]})";
  const std::string TWO = R"({"waypoints":[{"name":"B","lat":-1,"lon":2}]})";
  std::string many = R"({"waypoints":[{"name":"W","lat":1,"lon":1})";
  for (int i = 0; i < 1000; ++i) many += R"(,{"name":"W","lat":1,"lon":1})";
  const std::string refused = answer("403 Forbidden",
                                     "Forbidden: the route is set on this computer alone, by the "
                                     "bridge's own map page or a program.\n");
  const std::pair<std::string, std::string> cases[] = {
      {put(ONE), answer("200 OK", ONE, true)},
      {put(TWO, "Origin: http://map.example\r\n"), refused},
      {"PUT /plan HTTP/1.1\r\nContent-Length: 262145\r\n\r\n",
       answer("413 Content Too Large", "Content Too Large: a route may hold at most 262144 bytes.\n")},
      {put(R"({"waypoints":[{"name":"X","lat":91,"lon":0}]})"),
       answer("400 Bad Request", "Bad Request: waypoint 1: \"lat\" beyond -90 to 90\n")},
      {put(many + "]}"), answer("400 Bad Request", "Bad Request: more than 1000 waypoints\n")},
      {"GET /plan HTTP/1.1\r\n\r\n", answer("200 OK", ONE, true, true)},
      {"DELETE /plan HTTP/1.1\r\nOrigin: http://localhost:49080\r\n\r\n",
       answer("200 OK", R"({"waypoints":[]})", true)},
  };
  SharedState state = make_shared_state();
  for (const auto& [request, reply] : cases) {
    OneConnection connection(FAST, state, Caller{platform::LOOPBACK_IP, nullptr, 49080});
    platform::send_all(connection.client, request);
    EXPECT_EQ(receive_until(connection.client, 5s).bytes, reply) << request.substr(0, 60);
  }
}

TEST(HttpConnectionTest, StreamRouteStreamsUntilTheClientLeaves) {
  for (std::string request : {"GET /stream?v=2 HTTP/1.1\r\n\r\n", "POST /stream HTTP/1.1\r\n\r\n"}) {
    OneConnection connection;
    platform::send_all(connection.client, request);
    std::string got = read_until(connection.client, "data: {\"live\":false}\n\n", 5s);
    EXPECT_NE(got.find("\r\n\r\nretry: 2000\n\ndata: {\"live\":false}\n\n"), std::string::npos) << got;
    // Leaving: the destructor closes the client and joins the handler, which
    // ends at its next write.
  }
}

// A stream client that stops reading is dropped once a write has waited the
// send time-out (Linux may wait it twice: once after a partial copy, once
// more for the rest). The stream's clock is fake, so events go out as fast as
// they can be written and the buffers fill at once.
TEST(HttpConnectionTest, DeafStreamClientIsDroppedAfterTheSendTimeout) {
  SharedState state = make_shared_state();
  FakeLoopClock clock;
  std::atomic<Clock::rep> last_poll{Clock::now().time_since_epoch().count()};
  clock.on_sleep = [&](std::size_t) {
    std::lock_guard<std::mutex> lock(state->mutex);
    for (auto& value : state->record.values) value = 1e300;  // long events: 301 digits a value
    state->record.sim = SimKind::msfs;
    mark_updated(state->record, clock.now(), WallClock::now());
    last_poll = Clock::now().time_since_epoch().count();
  };
  ConnectionLimits limits = FAST;
  limits.send_timeout = 400ms;
  limits.stream_clock = &clock;
  std::atomic<bool> ended{false};
  std::atomic<Clock::rep> ended_at{0};
  ServedConnection connection([&](platform::Socket stream) {
    handle_connection(std::move(stream), state, limits);
    ended_at = Clock::now().time_since_epoch().count();
    ended = true;
  });
  platform::send_all(connection.client, "GET /stream HTTP/1.1\r\n\r\n");
  auto give_up = Clock::now() + 30s;
  while (!ended && Clock::now() < give_up) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(ended);
  auto stalled = Clock::duration(ended_at - last_poll);
  EXPECT_GE(stalled, 300ms);
  EXPECT_LE(stalled, 3s);

  // The program's own limits: 5 s per receive of the head, 10 s for the whole
  // head, 10 s per send.
  ConnectionLimits program;
  EXPECT_EQ(program.read_timeout, 5s);
  EXPECT_EQ(program.head_budget, 10s);
  EXPECT_EQ(program.send_timeout, 10s);
}

}  // namespace

}  // namespace tavrik
