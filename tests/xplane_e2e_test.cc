// The bridge against a fake X-Plane: a UDP socket on 127.0.0.N:49000 in this
// test, on a free N so that runs side by side never meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <future>
#include <random>
#include <thread>

#include "main/command_line.h"
#include "support/fake_xplane.h"
#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string WAITING = "… waiting for X-Plane (is a flight loaded?)\n";
const std::string RECEIVING = "✓ receiving data from X-Plane\n";

// Splits datagrams into passes: a gap of over a second starts a new one.
std::vector<std::vector<Datagram>> passes(const std::vector<Datagram>& all) {
  std::vector<std::vector<Datagram>> out;
  for (const Datagram& d : all) {
    if (out.empty() || d.at - out.back().back().at > 1s) out.emplace_back();
    out.back().push_back(d);
  }
  return out;
}

void expect_one_pass(const std::vector<Datagram>& pass) {
  ASSERT_EQ(pass.size(), XPLANE_PASS_SIZE);
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) EXPECT_EQ(pass[i].bytes, build_subscription_request(i)) << i;
  std::vector<std::string> traffic = build_tcas_requests(TCAS_REQUEST_HZ);
  for (std::size_t i = 0; i < traffic.size(); ++i) EXPECT_EQ(pass[VALUE_COUNT + i].bytes, traffic[i]) << i;
}

TEST(XplaneE2eTest, EightRequestsInIndexOrder) {
  XplaneRun run;
  expect_one_pass(run.pass);
  for (const Datagram& d : run.pass) EXPECT_EQ(d.from, run.pass[0].from);  // one socket
  // X-Plane on this machine: the socket is bound to 127.0.0.1, not to every
  // interface, so its port is free on any other address. (Wine binds every
  // loopback socket to all addresses, so only the Linux build can look.)
  EXPECT_EQ(platform::format_address(run.pass[0].from), "127.0.0.1:" + std::to_string(run.pass[0].from.port));
  if (built_for_windows()) return;
  int error = 0;
  platform::Socket beside =
      platform::open_udp(*platform::parse_ipv4(unshared_loopback_ip(), run.pass[0].from.port), &error);
  EXPECT_TRUE(beside.valid()) << "the bridge holds the port on every address: " << platform::error_text(error);
  EXPECT_NE(run.bridge.process->out().find("→ X-Plane: asking " + run.xplane.ip + ":49000 for position (5 Hz)\n"),
            std::string::npos);
  EXPECT_TRUE(run.bridge.process->wait_for_out(WAITING, 5s)) << run.bridge.process->err();
}

TEST(XplaneE2eTest, RepliesMakeItLiveAndSilenceMakesItWait) {
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  ASSERT_TRUE(run.bridge.process->wait_for_out(WAITING, 5s));

  // 8 s of answers: live, and no request while answering; one receiving line
  // over its sixteen ticks.
  auto requests = run.xplane.answer_for(run.pass[0].from, 8s);
  EXPECT_TRUE(run.bridge.process->wait_for_out(RECEIVING, 2s)) << run.bridge.process->out();
  EXPECT_EQ(requests.size(), 0u);
  auto last_reply = Clock::now();

  // Silence: the waiting line 3 to 3.5 s after the last reply (asserted loosely).
  std::string before = run.bridge.process->out();
  ASSERT_EQ(occurrences(before, WAITING), 1u) << before;  // only the one at start so far
  EXPECT_EQ(occurrences(before, RECEIVING), 1u) << before;
  while (occurrences(run.bridge.process->out(), WAITING) == 1 && Clock::now() - last_reply < 10s)
    std::this_thread::sleep_for(20ms);
  auto idle_after = Clock::now() - last_reply;
  EXPECT_GE(idle_after, 2500ms);
  EXPECT_LE(idle_after, 6s);

  // And a new pass once the silence is over 3 s old (the fake keeps what came meanwhile); the waiting line stays one.
  auto repeat = run.xplane.first_pass(10s);
  // One whole pass from its first request (under Wine the next may have begun by then).
  repeat.erase(repeat.begin(), std::find_if(repeat.begin(), repeat.end(), [](const Datagram& d) {
                 return d.bytes == build_subscription_request(0);
               }));
  if (repeat.size() > XPLANE_PASS_SIZE) repeat.resize(XPLANE_PASS_SIZE);
  expect_one_pass(repeat);
  std::this_thread::sleep_for(1s);
  std::string out = run.bridge.process->out();
  EXPECT_EQ(occurrences(out, WAITING), 2u) << out;
  EXPECT_EQ(occurrences(out, RECEIVING), 1u) << out;
}

TEST(XplaneE2eTest, RequestsRepeatAboutEveryThreeSecondsWhileSilent) {
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  auto rest = run.xplane.collect(7500ms);
  // A pass that began in the window is taken whole (a slow machine may be mid-pass at its end).
  for (auto end = Clock::now() + 3s;
       !rest.empty() && passes(rest).back().size() < XPLANE_PASS_SIZE && Clock::now() < end;) {
    auto more = run.xplane.collect(100ms);
    rest.insert(rest.end(), more.begin(), more.end());
  }
  auto split = passes(rest);
  ASSERT_GE(split.size(), 2u) << rest.size() << " requests";
  ASSERT_LE(split.size(), 3u);
  auto previous = run.pass.back().at;
  for (const auto& pass : split) {
    expect_one_pass(pass);
    auto gap = pass.front().at - previous;
    EXPECT_GE(gap, 2500ms);
    EXPECT_LE(gap, 5s);
    previous = pass.back().at;
  }
}

// X-Plane moved off port 49000: "address:port" reaches it there, and the
// console names that port.
TEST(XplaneE2eTest, HostWithPortReachesXplaneThere) {
  FakeXplane xplane(std::uint16_t{0});
  ASSERT_TRUE(xplane.socket.valid());
  const std::string host = xplane.host_and_port();
  RunningBridge bridge = start_bridge({"--xplane", host});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  auto pass = xplane.first_pass();
  expect_one_pass(pass);
  EXPECT_NE(bridge.process->out().find("→ X-Plane: asking " + host + " for position (5 Hz)\n"), std::string::npos)
      << bridge.process->out();
  ASSERT_FALSE(pass.empty());
  xplane.reply(pass[0].from, 47.5f, 8.25f);
  std::string body = wait_for_state(bridge.port, "\"lat\":47.5,");
  EXPECT_NE(body.find("\"lat\":47.5,\"lon\":8.25,\"hdg\":90}"), std::string::npos) << body;
}

// The user ends the bridge: X-Plane gets the eight requests again, each
// with frequency 0 for its index and path, and nothing else; the process
// ends as it would have without them (on POSIX: killed by the signal).
TEST(XplaneE2eTest, EndingTheBridgeCancelsTheSubscriptions) {
  using Ending = ChildProcess::Ending;
  // A test cannot close a console window, and Wine delivers Ctrl+C but not
  // Ctrl+Break to another console: the Windows build sends Ctrl+C only.
  std::vector<Ending> endings{Ending::interrupt};
  if (!built_for_windows()) endings.insert(endings.end(), {Ending::terminate, Ending::close_window});
  ChildOptions own_console;
  own_console.own_console = true;
  for (Ending how : endings) {
    FakeXplane xplane;
    RunningBridge bridge = start_bridge({"--xplane", xplane.ip}, own_console);
    struct {
      FakeXplane& xplane;
      RunningBridge& bridge;
      std::vector<Datagram> pass;
    } run{xplane, bridge, bridge.port != 0 ? xplane.first_pass() : std::vector<Datagram>{}};
    ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
    ASSERT_TRUE(run.bridge.process->end_as_user(how)) << static_cast<int>(how);
    std::optional<int> status = run.bridge.process->wait(10s);
    ASSERT_TRUE(status) << static_cast<int>(how);
    if (!built_for_windows()) {  // Wine ends it with status 0, Windows with STATUS_CONTROL_C_EXIT
      EXPECT_EQ(status, ChildProcess::status_after(how)) << static_cast<int>(how);
    }
    // From the goodbye's first datagram on, the goodbye alone (under Wine, Ctrl+C may take
    // over 3 s to arrive, after a re-subscription).
    auto after = run.xplane.collect(500ms);
    auto goodbye_start = std::find_if(after.begin(), after.end(),
                                      [](const Datagram& d) { return d.bytes.size() > 5 && d.bytes[5] == 0; });
    std::vector<Datagram> goodbye(goodbye_start, after.end());
    ASSERT_EQ(goodbye.size(), XPLANE_PASS_SIZE) << static_cast<int>(how);
    std::vector<std::string> traffic = build_tcas_requests(0);
    for (std::size_t i = 0; i < traffic.size(); ++i) EXPECT_EQ(goodbye[VALUE_COUNT + i].bytes, traffic[i]) << i;
    for (std::size_t i = 0; i < VALUE_COUNT; ++i) {
      std::string expected("RREF\0\0\0\0\0", 9);  // frequency 0
      expected += std::string{static_cast<char>(i), 0, 0, 0};
      expected += XPLANE_DATAREFS[i];
      expected.resize(413, '\0');
      EXPECT_EQ(goodbye[i].bytes, expected) << i;
      EXPECT_EQ(goodbye[i].from, run.pass[0].from) << i;
    }
  }
}

// Without an X-Plane feed there is nothing to cancel: the bridge just ends.
TEST(XplaneE2eTest, WithoutAnXplaneFeedEndingIsAsBefore) {
  unset_env("MSFS_SDK");
  unset_env("MSFS2024_SDK");
  ChildOptions own_console;
  own_console.own_console = true;
  RunningBridge bridge = start_bridge({"--msfs"}, own_console);
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  ASSERT_TRUE(bridge.process->end_as_user(ChildProcess::Ending::interrupt));
  std::optional<int> status = bridge.process->wait(10s);
  ASSERT_TRUE(status);
  if (!built_for_windows()) {
    EXPECT_EQ(status, ChildProcess::status_after(ChildProcess::Ending::interrupt));
  }
}

// Nobody listening at first: the bridge goes on asking, and the next pass
// reaches X-Plane once it is there. (Windows answers such requests with
// port-unreachable receive errors; Linux and Wine report nothing.)
TEST(XplaneE2eTest, PassesContinueWhenNobodyListened) {
  std::string ip = unshared_loopback_ip();  // no other test takes it meanwhile
  RunningBridge bridge = start_bridge({"--xplane", ip});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  std::this_thread::sleep_for(1500ms);
  FakeXplane xplane(ip);
  auto pass = xplane.first_pass(6s);
  expect_one_pass(pass);
  EXPECT_EQ(bridge.process->out().find(RECEIVING), std::string::npos);
}

std::chrono::milliseconds percentile(std::vector<Clock::duration> samples, double share) {
  std::sort(samples.begin(), samples.end());
  auto at = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1) + 0.5);
  return std::chrono::duration_cast<std::chrono::milliseconds>(samples[at]);
}

// Real time, the running program. A datagram reaches an open stream at its
// next poll: over 30 datagrams at random moments, 90 % within 400 ms. While
// X-Plane sends 20 times a second, one event goes out per 180 ms poll.
TEST(XplaneE2eTest, StreamEventsFollowDatagramsAtThePollRate) {
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  const platform::Ipv4Address to = run.pass[0].from;
  platform::Socket stream = connect_loopback(run.bridge.port);
  platform::send_all(stream, "GET /stream HTTP/1.1\r\n\r\n");
  ASSERT_NE(read_until(stream, "data: ", 5s).find("data: "), std::string::npos);

  std::mt19937 random(11);
  std::vector<Clock::duration> latency;
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
    auto sent = Clock::now();
    run.xplane.reply(to, 10.0f + static_cast<float>(i), 8.25f);
    std::string marker = "\"lat\":" + std::to_string(10 + i) + ",";
    if (read_until(stream, marker, 3s).find(marker) == std::string::npos) continue;  // counted as missing
    latency.push_back(Clock::now() - sent);
  }
  ASSERT_GE(latency.size(), 27u);
  std::printf("[ latency  ] datagram to event over %zu: p10 %lld, p50 %lld, p90 %lld, max %lld ms\n", latency.size(),
              static_cast<long long>(percentile(latency, 0.1).count()),
              static_cast<long long>(percentile(latency, 0.5).count()),
              static_cast<long long>(percentile(latency, 0.9).count()),
              static_cast<long long>(percentile(latency, 1.0).count()));
  EXPECT_LE(percentile(latency, 0.9), 400ms);

  std::atomic<bool> sending{true};
  std::thread sender([&] {
    for (int k = 0; sending; ++k) {
      run.xplane.reply(to, 100.0f + static_cast<float>(k), 8.25f);
      std::this_thread::sleep_for(50ms);
    }
  });
  read_until(stream, "\"lat\":10", 2s);  // the first event of the fast phase
  std::vector<Clock::time_point> arrivals;
  auto end = Clock::now() + 5s;
  char buffer[4096];
  platform::set_receive_timeout(stream, 200);
  while (Clock::now() < end) {
    platform::IoResult got = platform::receive(stream, buffer, sizeof buffer);
    if (got.failed() || got.bytes == 0) continue;
    for (std::string_view chunk(buffer, got.bytes); chunk.find("data: ") != std::string_view::npos;
         chunk.remove_prefix(chunk.find("data: ") + 1))
      arrivals.push_back(Clock::now());
  }
  sending = false;
  sender.join();
  std::vector<Clock::duration> gaps;
  for (std::size_t i = 1; i < arrivals.size(); ++i) gaps.push_back(arrivals[i] - arrivals[i - 1]);
  ASSERT_GE(gaps.size(), 10u);
  std::printf("[ polls    ] %zu events in 5 s: gap p10 %lld, p50 %lld, p90 %lld ms\n", arrivals.size(),
              static_cast<long long>(percentile(gaps, 0.1).count()),
              static_cast<long long>(percentile(gaps, 0.5).count()),
              static_cast<long long>(percentile(gaps, 0.9).count()));
  EXPECT_GE(percentile(gaps, 0.5), 120ms);
  EXPECT_LE(percentile(gaps, 0.5), 270ms);
}

std::uint64_t wall_ms() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// `t` in UTC with milliseconds, from the C library's calendar.
std::string utc_text(std::uint64_t t, const char* format) {
  std::time_t seconds = static_cast<std::time_t>(t / 1000);
  char text[40];
  std::strftime(text, sizeof text, format, std::gmtime(&seconds));
  return text;
}

// A scripted flight: two stretches of three replies 1.5 s apart (so each is in
// a wall-clock second of its own), with 4.5 s of silence between them, more
// than the live window, then one 500 km away and one back (a bad frame), 1.5 s
// apart: each of the two a segment of its own, /state at the new place.
TEST(XplaneE2eTest, TrackOfAScriptedFlight) {
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  struct Sent {
    std::string lat, lon, alt;
    std::uint64_t before, after;  // the wall clock around the send
  };
  std::vector<Sent> sent;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(i == 3 ? 4500ms : i ? 1500ms : 0ms);
    EXPECT_TRUE(i != 7 || state_body(run.bridge.port).find("\"lat\":51.5,") != std::string::npos);  // at the new place
    float lat = i == 6 ? 51.5f : 47.0f + 0.001f * i, lon = -8.0f - 0.002f * i, alt = 400.0f + 10.5f * i;
    std::uint64_t before = wall_ms();
    run.xplane.send(run.pass[0].from, rref_reply({{0, lat}, {1, lon}, {2, alt}, {3, 90.0f}}));
    std::string text[3];
    for (int k = 0; k < 3; ++k) append_number(text[k], static_cast<double>(k ? k == 1 ? lon : alt : lat));
    sent.push_back({text[0], text[1], text[2], before, wall_ms()});
  }
  std::this_thread::sleep_for(300ms);

  std::string json = split_answer(http_exchange(run.bridge.port, "GET /track HTTP/1.1\r\n\r\n")).body;
  std::vector<std::uint64_t> times;
  for (std::size_t at = json.find("[1"); at != std::string::npos; at = json.find("[1", at + 1))
    times.push_back(std::stoull(json.substr(at + 1)));
  ASSERT_EQ(times.size(), sent.size()) << json;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_GE(times[i], sent[i].before) << i;
    EXPECT_LE(times[i], sent[i].after + 1000) << i;
  }
  auto points = [&](std::size_t from, std::size_t to) {
    std::string text;
    for (std::size_t i = from; i < to; ++i)
      text += (i > from ? ",[" : "[") + std::to_string(times[i]) + "," + sent[i].lat + "," + sent[i].lon + "," +
              sent[i].alt + "]";
    return text;
  };
  EXPECT_EQ(json, "{\"segments\":[{\"id\":0,\"points\":[" + points(0, 3) + "]},{\"id\":1,\"points\":[" + points(3, 6) +
                      "]},{\"id\":2,\"points\":[" + points(6, 7) + "]},{\"id\":3,\"points\":[" + points(7, 8) + "]}]}");
  EXPECT_EQ(
      split_answer(http_exchange(run.bridge.port, "GET /track?since=" + std::to_string(times[3]) + " HTTP/1.1\r\n\r\n"))
          .body,
      "{\"segments\":[{\"id\":1,\"points\":[" + points(4, 6) + "]},{\"id\":2,\"points\":[" + points(6, 7) +
          "]},{\"id\":3,\"points\":[" + points(7, 8) + "]}]}");

  HttpAnswer gpx = split_answer(http_exchange(run.bridge.port, "GET /track.gpx HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(header_value(gpx.head, "Content-Type"), "application/gpx+xml");
  EXPECT_EQ(header_value(gpx.head, "Content-Disposition"),
            "attachment; filename=\"tavrik-track-" + utc_text(times[0], "%Y%m%d-%H%M%S") + "Z.gpx\"");
  std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"tavrik live map\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
      "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n<trk><name>tavrik track</name>\n";
  for (std::size_t i = 0; i < sent.size(); ++i) {
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(times[i] % 1000));
    expected += i == 0 ? "<trkseg>\n" : i == 3 || i >= 6 ? "</trkseg><trkseg>\n" : "";
    expected += "<trkpt lat=\"" + sent[i].lat + "\" lon=\"" + sent[i].lon + "\"><ele>" + sent[i].alt + "</ele><time>" +
                utc_text(times[i], "%Y-%m-%dT%H:%M:%S") + ms + "</time></trkpt>\n";
  }
  expected += "</trkseg>\n</trk>\n</gpx>\n";
  EXPECT_EQ(gpx.body, expected);
  EXPECT_EQ(header_value(gpx.head, "Content-Length"), std::to_string(gpx.body.size()));
}

}  // namespace

}  // namespace tavrik
