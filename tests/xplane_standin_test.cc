// The X-Plane stand-in: its protocol decisions, and the program over UDP.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>

#include "rref_server.h"
#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const platform::Ipv4Address A{0x7F000001, 5000};
const platform::Ipv4Address B{0x7F000001, 5001};
const StandinInstant T0 = StandinInstant{} + 100s;

RrefRequest request(std::int32_t frequency, std::int32_t index, std::string path) {
  return {frequency, index, std::move(path)};
}

// The (index, value) records of a reply; nothing if it is not one.
std::vector<std::pair<std::uint32_t, float>> records_of(const std::string& reply) {
  std::vector<std::pair<std::uint32_t, float>> out;
  if (reply.size() < 5 || reply.compare(0, 4, "RREF") != 0 || (reply.size() - 5) % 8 != 0) return out;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(reply[at + i]);
    return v;
  };
  for (std::size_t at = 5; at < reply.size(); at += 8) out.emplace_back(u32(at), std::bit_cast<float>(u32(at + 4)));
  return out;
}

std::vector<std::uint32_t> indices_of(const std::string& reply) {
  std::vector<std::uint32_t> out;
  for (auto [index, value] : records_of(reply)) out.push_back(index);
  return out;
}

TEST(XplaneStandinTest, ParsesTheBridgesRequests) {
  for (std::size_t i = 0; i < XPLANE_DATAREFS.size(); ++i) {
    std::string bytes = build_subscription_request(i);
    auto parsed = parse_rref_request(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->frequency, 5);
    EXPECT_EQ(parsed->index, static_cast<std::int32_t>(i));
    EXPECT_EQ(parsed->path, XPLANE_DATAREFS[i]);
  }
  std::string unterminated = build_rref_request(1, 2, std::string(400, 'a'));
  auto parsed = parse_rref_request(reinterpret_cast<const std::uint8_t*>(unterminated.data()), unterminated.size());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->path.size(), 400u);
  for (std::string bad : {std::string("RREF\0\1\0\0\0\2\0\0", 12), std::string("DREF", 4), std::string()})
    EXPECT_FALSE(parse_rref_request(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size()));
}

TEST(XplaneStandinTest, SubscriptionsReplaceCancelAndStayBounded) {
  Subscriptions subs;
  const std::string lat = XPLANE_DATAREFS[0];
  EXPECT_EQ(apply_request(subs, A, request(5, 0, lat), T0), RequestOutcome::subscribed);
  EXPECT_EQ(apply_request(subs, A, request(5, 0, lat), T0), RequestOutcome::unchanged);
  EXPECT_EQ(apply_request(subs, A, request(10, 0, lat), T0), RequestOutcome::subscribed);  // replaced
  ASSERT_EQ(subs.subscribers.size(), 1u);
  EXPECT_EQ(subs.subscribers[0].by_index.at(0).frequency, 10);
  EXPECT_EQ(subs.subscribers[0].next_due.size(), 1u);  // the 5 Hz group went with it
  EXPECT_EQ(apply_request(subs, B, request(5, 0, lat), T0), RequestOutcome::subscribed);
  EXPECT_EQ(apply_request(subs, A, request(-1, 0, lat), T0), RequestOutcome::ignored);
  EXPECT_EQ(apply_request(subs, A, request(0, 7, lat), T0), RequestOutcome::unchanged);  // nothing to cancel
  EXPECT_EQ(apply_request(subs, A, request(0, 0, ""), T0), RequestOutcome::cancelled);
  ASSERT_EQ(subs.subscribers.size(), 1u);  // A has nothing left
  EXPECT_EQ(subs.subscribers[0].address, B);
  EXPECT_EQ(apply_request(subs, A, request(1000, 1, lat), T0), RequestOutcome::subscribed);
  EXPECT_EQ(subs.subscribers[1].by_index.at(1).frequency, MAX_FREQUENCY);

  Subscriptions many;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(MAX_SUBSCRIPTIONS) + 44; ++i)
    apply_request(many, A, request(1, i, lat), T0);
  for (std::uint16_t p = 0; p < 40; ++p) apply_request(many, {0x7F000001, p}, request(1, 0, lat), T0);
  EXPECT_EQ(many.subscribers.size(), MAX_SUBSCRIBERS);
  EXPECT_EQ(many.subscribers[0].by_index.size(), MAX_SUBSCRIPTIONS);
  auto replies = due_replies(many, fly(0), T0);
  EXPECT_EQ(replies.size(),
            MAX_SUBSCRIPTIONS / MAX_RECORDS_PER_REPLY + MAX_SUBSCRIBERS - 1);  // the first sender's take 8
  for (const auto& reply : replies) EXPECT_LE(reply.bytes.size(), 2048u);
}

TEST(XplaneStandinTest, RepliesCarryTheFlightAtTheAskedRate) {
  Subscriptions subs;
  for (std::int32_t i : {7, 0, 1}) apply_request(subs, A, request(5, i, XPLANE_DATAREFS[i]), T0);
  apply_request(subs, A, request(2, 3, "sim/flightmodel/position/psi"), T0);
  apply_request(subs, A, request(2, 9, "sim/no/such/dataref"), T0);

  AircraftState aircraft = fly(200);
  auto first = due_replies(subs, aircraft, T0);  // both groups due at once
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].to, A);
  EXPECT_EQ(indices_of(first[0].bytes), (std::vector<std::uint32_t>{3}));  // 2 Hz group: no record for 9
  auto records = records_of(first[1].bytes);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], (std::pair<std::uint32_t, float>{0, static_cast<float>(aircraft.latitude)}));
  EXPECT_EQ(records[1].second, static_cast<float>(aircraft.longitude));
  EXPECT_EQ(records[2], (std::pair<std::uint32_t, float>{7, static_cast<float>(aircraft.y_agl)}));
  EXPECT_EQ(records_of(first[0].bytes)[0].second, static_cast<float>(local_psi(aircraft)));

  // Over the next second: four more at 5 Hz, two at 2 Hz.
  int five = 0, two = 0;
  for (auto t = T0 + 10ms; t <= T0 + 1s; t += 10ms)
    for (const auto& r : due_replies(subs, aircraft, t)) (indices_of(r.bytes).front() == 0 ? five : two)++;
  EXPECT_EQ(five, 5);
  EXPECT_EQ(two, 2);
  EXPECT_EQ(next_reply_time(subs, T0 + 1h), T0 + 1200ms);

  // After a long pause: one reply, no burst.
  EXPECT_EQ(due_replies(subs, aircraft, T0 + 60s).size(), 2u);
  EXPECT_EQ(due_replies(subs, aircraft, T0 + 60s + 100ms).size(), 0u);
}

// Every dataref the bridge asks for has a value of its own; an unknown one
// has none. X-Plane's psi and true_psi differ away from its reference point,
// so the stand-in's do too, over the whole circuit: a bridge that read the
// wrong one would show it.
TEST(XplaneStandinTest, KnowsEveryDatarefTheBridgeAsksFor) {
  for (double t = 0; t < circuit_duration(); t += 7) {
    AircraftState a = fly(t);
    const float expected[] = {static_cast<float>(a.latitude),    static_cast<float>(a.longitude),
                              static_cast<float>(a.elevation),   static_cast<float>(a.true_psi),
                              static_cast<float>(a.groundspeed), static_cast<float>(a.indicated_airspeed),
                              static_cast<float>(a.vh_ind_fpm),  static_cast<float>(a.y_agl)};
    ASSERT_EQ(std::size(expected), XPLANE_DATAREFS.size());
    for (std::size_t i = 0; i < XPLANE_DATAREFS.size(); ++i)
      EXPECT_EQ(dataref_value(a, XPLANE_DATAREFS[i]), expected[i]) << XPLANE_DATAREFS[i] << " t=" << t;
    std::vector<TcasTarget> traffic = standin_traffic(a, t);  // the user in slot 0, three aircraft, then empty slots
    for (std::size_t n = 0; n < TCAS_SLOTS * TCAS_FIELDS; ++n)
      EXPECT_TRUE(tcas_value(traffic, tcas_path(n / TCAS_FIELDS, n % TCAS_FIELDS))) << n;
    EXPECT_EQ(tcas_value(traffic, tcas_path(1, MODE_S)), static_cast<float>(0x4B1A02));
    EXPECT_EQ(tcas_value(traffic, tcas_path(3, MODE_S)), 0.0f);
    auto psi = dataref_value(a, "sim/flightmodel/position/psi");
    ASSERT_TRUE(psi);
    double apart = std::fabs(std::fmod(*psi - a.true_psi + 540.0, 360.0) - 180.0);
    EXPECT_GT(apart, 1.0) << "t=" << t;
    EXPECT_LT(apart, 2.0) << "t=" << t;
  }
  EXPECT_FALSE(dataref_value(fly(0), "sim/no/such/dataref"));
  EXPECT_FALSE(dataref_value(fly(0), ""));
}

TEST(XplaneStandinTest, FlightClockStandsStillWhilePaused) {
  FlightClock clock{0, T0};
  EXPECT_DOUBLE_EQ(flight_seconds(clock, T0 + 10s), 10);
  pause_clock(clock, T0 + 10s);
  EXPECT_DOUBLE_EQ(flight_seconds(clock, T0 + 60s), 10);
  resume_clock(clock, T0 + 60s);
  EXPECT_DOUBLE_EQ(flight_seconds(clock, T0 + 61s), 11);
}

TEST(XplaneStandinTest, OptionsAndPauseScript) {
  std::string error;
  auto o = parse_standin_options({"127.0.0.5", "--port", "0", "--pause-after", "10", "--resume-after", "2.5"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->address, "127.0.0.5");
  EXPECT_EQ(o->port, 0);
  EXPECT_FALSE(scheduled_pause(*o, 9.9));
  EXPECT_TRUE(scheduled_pause(*o, 10));
  EXPECT_TRUE(scheduled_pause(*o, 12.4));
  EXPECT_FALSE(scheduled_pause(*o, 12.5));
  auto forever = parse_standin_options({"--pause-after", "1"}, &error);
  ASSERT_TRUE(forever);
  EXPECT_EQ(forever->address, "127.0.0.1");
  EXPECT_EQ(forever->port, 49000);
  EXPECT_TRUE(scheduled_pause(*forever, 1e6));
  EXPECT_FALSE(scheduled_pause(StandinOptions{}, 1e6));
  for (auto bad : std::vector<std::vector<std::string>>{{"--port", "65536"},
                                                        {"--port"},
                                                        {"--pause-after", "-1"},
                                                        {"--pause-after", "x"},
                                                        {"--resume-after", "1"},
                                                        {"somehost"},
                                                        {"127.0.0.1", "127.0.0.2"},
                                                        {"--frobnicate"}})
    EXPECT_FALSE(parse_standin_options(bad, &error)) << bad[0];
}

// ---- The program itself, over loopback ------------------------------------

struct RunningStandin {
  std::unique_ptr<ChildProcess> process;
  platform::Ipv4Address address;
};

RunningStandin start_standin(const char* ip, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {ip, "--port", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningStandin s{start_child(XPLANE_STANDIN_EXE, args), {}};
  std::string marker = std::string("✓ X-Plane stand-in on ") + ip + ":";
  if (!s.process->wait_for_out(marker, 20s)) return s;
  std::string out = s.process->out();
  std::size_t at = out.find(marker) + marker.size();
  s.address = *platform::parse_ipv4(ip, static_cast<std::uint16_t>(std::stoul(out.substr(at))));
  return s;
}

struct Client {
  platform::Socket socket;
  Client() {
    int error = 0;
    socket = platform::open_udp(*platform::parse_ipv4("127.0.0.1", 0), &error);
    platform::set_receive_timeout(socket, 50);
  }
  void ask(platform::Ipv4Address to, std::int32_t frequency, std::int32_t index) {
    std::string bytes = build_rref_request(frequency, index, XPLANE_DATAREFS[index]);
    platform::send_to(socket, bytes.data(), bytes.size(), to);
  }
  std::vector<std::string> collect(std::chrono::milliseconds span) {
    std::vector<std::string> got;
    auto end = std::chrono::steady_clock::now() + span;
    char buffer[2048];
    while (std::chrono::steady_clock::now() < end) {
      platform::IoResult r = platform::receive_from(socket, buffer, sizeof buffer, nullptr);
      if (!r.failed()) got.emplace_back(buffer, r.bytes);
    }
    return got;
  }
};

TEST(XplaneStandinTest, AnswersSubscriptionsOverUdp) {
  RunningStandin standin = start_standin("127.0.0.31");
  ASSERT_NE(standin.address.port, 0) << standin.process->err();
  Client client;
  client.ask(standin.address, 10, 0);
  client.ask(standin.address, 10, 1);
  ASSERT_TRUE(standin.process->wait_for_out("[1] sim/flightmodel/position/longitude at 10 Hz\n", 10s));
  client.collect(300ms);  // the first reply may carry index 0 alone
  auto replies = client.collect(2s);
  EXPECT_GE(replies.size(), 10u);  // about 20
  EXPECT_LE(replies.size(), 30u);
  for (const auto& r : replies) {
    auto records = records_of(r);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].first, 0u);
    EXPECT_NEAR(records[0].second, DEMO_AIRFIELD.latitude, 0.2);
    EXPECT_EQ(records[1].first, 1u);
    EXPECT_NEAR(records[1].second, DEMO_AIRFIELD.longitude, 0.2);
  }

  client.ask(standin.address, 0, 0);  // frequency 0 cancels
  client.collect(500ms);
  replies = client.collect(1s);
  EXPECT_GE(replies.size(), 5u);
  for (const auto& r : replies) EXPECT_EQ(indices_of(r), std::vector<std::uint32_t>{1});

  client.ask(standin.address, 0, 1);
  client.collect(500ms);
  EXPECT_EQ(client.collect(1s).size(), 0u);
  EXPECT_NE(standin.process->out().find("cancelled [1]"), std::string::npos);
}

// The bridge against the stand-in, reached as "address:port": for the first
// 85 s the circuit runs straight down the runway, so the true heading is the
// runway's exactly, while the stand-in's psi is about 1.5 degrees off it.
TEST(XplaneStandinTest, BridgeShowsTheTrueHeading) {
  RunningStandin standin = start_standin(built_for_windows() ? "127.0.0.1" : "127.0.0.33");  // see loopback_ip
  ASSERT_NE(standin.address.port, 0) << standin.process->err();
  ASSERT_GT(std::fabs(local_psi(fly(0)) - DEMO_AIRFIELD.runway_heading), 1.0);
  RunningBridge bridge = start_bridge({"--xplane", platform::format_address(standin.address)});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  // The first reply's datagrams arrive one by one; the heading may follow the position.
  std::string body = wait_for_state(bridge.port, "\"hdg\":");
  std::string true_heading = "\"hdg\":";
  append_number(true_heading, static_cast<float>(DEMO_AIRFIELD.runway_heading));
  EXPECT_NE(body.find(true_heading + ","), std::string::npos) << body;
}

TEST(XplaneStandinTest, ScriptedPauseStopsAndResumesReplies) {
  RunningStandin standin = start_standin("127.0.0.32", {"--pause-after", "1", "--resume-after", "3"});
  ASSERT_NE(standin.address.port, 0) << standin.process->err();
  Client client;
  client.ask(standin.address, 10, 0);
  ASSERT_TRUE(standin.process->wait_for_out("… paused", 10s));
  client.collect(300ms);
  EXPECT_EQ(client.collect(1s).size(), 0u);
  ASSERT_TRUE(standin.process->wait_for_out("✓ resumed", 10s));
  EXPECT_GE(client.collect(1s).size(), 4u);
}

}  // namespace

}  // namespace tavrik
