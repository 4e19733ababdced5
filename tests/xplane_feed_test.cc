// Request bytes, reply parsing and the re-subscription rule, without a socket.
#include "xplane/xplane_feed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/fake_loop_clock.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const Instant T0 = Instant{} + 1000s;
const WallClock::time_point WALL = WallClock::time_point{} + 1700000000000ms;

bool feed(LiveState& state, const std::string& bytes, Instant now = T0) {
  return apply_xplane_reply(state, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now, WALL);
}

TEST(XplaneFeedTest, SubscriptionRequestBytes) {
  const char* paths[] = {
      "sim/flightmodel/position/latitude",    "sim/flightmodel/position/longitude",
      "sim/flightmodel/position/elevation",   "sim/flightmodel/position/true_psi",
      "sim/flightmodel/position/groundspeed", "sim/flightmodel/position/indicated_airspeed",
      "sim/flightmodel/position/vh_ind_fpm",  "sim/flightmodel/position/y_agl",
  };
  ASSERT_EQ(std::size(paths), VALUE_COUNT);
  std::vector<std::string> goodbye = build_unsubscription_requests();
  ASSERT_EQ(goodbye.size(), XPLANE_PASS_SIZE);  // the traffic's follow, checked below
  for (std::size_t i = 0; i < std::size(paths); ++i) {
    std::string request = build_subscription_request(i);
    ASSERT_EQ(request.size(), 413u);
    std::string expected("RREF\0\x05\0\0\0", 9);
    expected += std::string{static_cast<char>(i), 0, 0, 0};
    expected += paths[i];
    expected.resize(413, '\0');
    EXPECT_EQ(request, expected) << i;
    expected[5] = 0;  // frequency 0 ends the subscription of the same index and path
    EXPECT_EQ(goodbye[i], expected) << i;
  }
}

// With --efb its four requests come between the values' and the traffic's, in the pass and the goodbye alike.
TEST(XplaneFeedTest, EfbRequestsBetweenTheValuesAndTheTraffic) {
  for (std::int32_t hz : {XPLANE_REQUEST_HZ, 0}) {
    std::vector<std::string> expected = hz ? build_subscription_pass() : build_unsubscription_requests();
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(EFB_VALUE_COUNT); ++i)
      expected.insert(expected.begin() + VALUE_COUNT + i,
                      build_rref_request(hz, VALUE_COUNT + i, XPLANE_EFB_DATAREFS[i]));
    EXPECT_EQ(hz ? build_subscription_pass(true) : build_unsubscription_requests(true), expected) << hz;
  }
}

// The socket's local address by X-Plane's, and whose datagrams count.
TEST(XplaneFeedTest, LoopbackTargetsBindLoopbackAndOnlyTheTargetCounts) {
  struct Case {
    const char* target;
    const char* local;
  } binds[] = {{"127.0.0.1", "127.0.0.1"},  {"127.0.0.42", "127.0.0.1"}, {"127.255.255.254", "127.0.0.1"},
               {"192.168.1.20", "0.0.0.0"}, {"10.0.0.5", "0.0.0.0"},     {"126.255.255.255", "0.0.0.0"},
               {"128.0.0.1", "0.0.0.0"},    {"0.0.0.0", "0.0.0.0"},      {"255.255.255.255", "0.0.0.0"}};
  for (const auto& c : binds)
    EXPECT_EQ(local_udp_address(*platform::parse_ipv4(c.target, 49000)), *platform::parse_ipv4(c.local, 0)) << c.target;

  const platform::Ipv4Address target = *platform::parse_ipv4("192.168.1.20", 49000);
  struct Sender {
    const char* address;
    std::uint16_t port;
    bool counts;
  } senders[] = {{"192.168.1.20", 49000, true},  {"192.168.1.20", 49001, true},  // X-Plane may answer from another port
                 {"192.168.1.21", 49000, false}, {"127.0.0.1", 49000, false},
                 {"0.0.0.0", 0, false},          {"20.1.168.192", 49000, false}};  // byte order matters
  for (const auto& c : senders)
    EXPECT_EQ(from_xplane(*platform::parse_ipv4(c.address, c.port), target), c.counts) << c.address << ":" << c.port;
}

TEST(XplaneFeedTest, RequestNegativeFieldsAndLongPath) {
  std::string request = build_rref_request(-1, 0x01020304, std::string(500, 'x'));
  ASSERT_EQ(request.size(), 413u);
  EXPECT_EQ(request.substr(5, 8), std::string("\xFF\xFF\xFF\xFF\x04\x03\x02\x01", 8));
  EXPECT_EQ(request.substr(13), std::string(400, 'x'));
}

TEST(XplaneFeedTest, RecordsAreStoredWidened) {
  LiveState state;
  ASSERT_TRUE(feed(state, rref_reply({{0, 47.462f}, {1, 8.25f}})));
  EXPECT_EQ(state.sim, SimKind::xp);
  EXPECT_EQ(state.values[Value::LAT], static_cast<double>(47.462f));
  EXPECT_EQ(state.values[Value::LON], 8.25);
  EXPECT_FALSE(state.values[Value::ALT]);
  EXPECT_EQ(state.update_count, 1u);
  EXPECT_EQ(state.last_update, T0);
  EXPECT_EQ(state.t, 1700000000000u);
  EXPECT_EQ(build_live_snapshot(state, T0 + 1s),
            "{\"live\":true,\"sim\":\"xp\",\"t\":1700000000000,\"lat\":47.46200180053711,\"lon\":8.25}");
}

TEST(XplaneFeedTest, AcceptedDatagrams) {
  using Values = std::array<std::optional<double>, VALUE_COUNT>;
  const auto none = std::nullopt;
  struct Case {
    const char* name;
    std::string bytes;
    Values values;
  } cases[] = {
      {"all eight", rref_reply({{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}),
       Values{1, 2, 3, 4, 5, 6, 7, 8}},
      {"index past the values skipped", rref_reply({{static_cast<std::uint32_t>(VALUE_COUNT), 9}, {1, 2}}),
       Values{none, 2}},
      {"index 4294967295 skipped", rref_reply({{0, 1}, {4294967295u, 9}, {7, 8}}),
       Values{1, none, none, none, none, none, none, 8}},
      {"5 bytes, no record", rref_reply({}), Values{}},
      {"any fifth byte", rref_reply({{3, 90}}, 0), Values{none, none, none, 90}},
      {"12 bytes: partial tail",
       [] {
         auto b = rref_reply({{0, 1}});
         b.pop_back();
         return b;
       }(),
       Values{}},
      {"20 bytes: one record",
       [] {
         auto b = rref_reply({{2, 1500.5f}, {1, 2}});
         b.resize(20);
         return b;
       }(),
       Values{none, none, 1500.5}},
      {"repeated index: last wins", rref_reply({{6, -500}, {6, 250}}), Values{none, none, none, none, none, none, 250}},
      {"non-finite stored (the snapshot leaves it out)", rref_reply({{5, std::numeric_limits<float>::infinity()}}),
       Values{none, none, none, none, none, std::numeric_limits<double>::infinity()}},
  };
  for (const auto& c : cases) {
    LiveState state;
    EXPECT_TRUE(feed(state, c.bytes)) << c.name;
    EXPECT_EQ(state.values, c.values) << c.name;
    EXPECT_EQ(state.sim, SimKind::xp) << c.name;
    EXPECT_EQ(state.update_count, 1u) << c.name;
    EXPECT_EQ(state.last_update, T0) << c.name;  // even a reply without records keeps it live
  }
}

TEST(XplaneFeedTest, RejectedDatagramsLeaveTheRecordAlone) {
  std::vector<std::pair<const char*, std::string>> cases{
      {"empty", {}},
      {"4 bytes", {'R', 'R', 'E', 'F'}},
      {"byte 0", rref_reply({{0, 1}})},
      {"byte 1", rref_reply({{0, 1}})},
      {"byte 2", rref_reply({{0, 1}})},
      {"byte 3", rref_reply({{0, 1}})},
      {"lower case", {'r', 'r', 'e', 'f', 0}},
      {"DATA", {'D', 'A', 'T', 'A', '*', 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (int i = 0; i < 4; ++i) cases[2 + i].second[i] ^= 0x01;
  for (const auto& [name, bytes] : cases) {
    LiveState state;
    state.values[Value::LAT] = 1.0;
    LiveState before = state;
    EXPECT_FALSE(feed(state, bytes)) << name;
    EXPECT_EQ(state.values, before.values) << name;
    EXPECT_EQ(state.sim, SimKind::none) << name;
    EXPECT_EQ(state.update_count, 0u) << name;
    EXPECT_FALSE(state.last_update) << name;
  }
}

TEST(XplaneFeedTest, SwitchFromMsfsClearsItsValues) {
  LiveState state;
  for (auto& v : state.values) v = 123.0;
  state.sim = SimKind::msfs;
  state.update_count = 41;
  ASSERT_TRUE(feed(state, rref_reply({{0, 47.5f}, {1, 8.25f}})));
  std::array<std::optional<double>, VALUE_COUNT> expected{47.5, 8.25};
  EXPECT_EQ(state.values, expected);
  EXPECT_EQ(state.sim, SimKind::xp);
  EXPECT_EQ(state.update_count, 42u);

  // Later X-Plane datagrams, empty ones too, keep what earlier ones wrote.
  ASSERT_TRUE(feed(state, rref_reply({})));
  ASSERT_TRUE(feed(state, rref_reply({{3, 90}})));
  EXPECT_EQ(state.values[Value::LAT], 47.5);
  EXPECT_EQ(state.values[Value::HDG], 90.0);
}

TEST(XplaneFeedTest, ResubscriptionRule) {
  const auto ns = std::chrono::nanoseconds(1);
  struct Case {
    std::optional<Instant> last_packet;
    Instant last_pass;
    bool due;
  } cases[] = {
      {std::nullopt, T0 - 3s, false},                                         // exactly 3 s since the pass
      {std::nullopt, T0 - 3s - ns, true},                                     // just over
      {std::nullopt, T0 - 1s, false},     {T0 - 3s, T0 - 10s, false},         // datagram exactly 3 s ago
      {T0 - 3s - ns, T0 - 10s, true},     {T0 - 3500ms, T0 - 3s - ns, true},  // silent 3.5 s: a new pass
      {T0 - 3500ms, T0 - 2s, false},                                          // but not before the last pass is 3 s old
      {T0 - 200ms, T0 - 60s, false},  // answering: no pass however old the last one
      {T0 + 1s, T0 - 60s, false},     // clock read before the stamp
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(resubscribe_due(cases[i].last_packet, cases[i].last_pass, T0), cases[i].due) << i;
}

// The silence check follows every receive, and a receive waits at most 1 s:
// with nothing arriving, the feed looks at the clock about once a second.
TEST(XplaneFeedTest, SilentSocketIsCheckedEverySecond) {
  struct RecordingClock : LoopClock {
    std::vector<Instant> reads;
    Instant now() override {
      reads.push_back(MonotonicClock::now());
      if (reads.size() == 4) throw StopLoop();
      return reads.back();
    }
  } clock;
  int error = 0;
  auto loopback = *platform::parse_ipv4("127.0.0.1", 0);
  platform::Socket sink = platform::open_udp(loopback, &error);  // where the requests go
  platform::Socket socket = platform::open_udp(loopback, &error);
  ASSERT_TRUE(sink.valid() && socket.valid());
  EXPECT_THROW(run_xplane_feed(*platform::local_address(sink), std::move(socket), make_shared_state(), clock),
               StopLoop);
  for (std::size_t i = 1; i < clock.reads.size(); ++i) {  // the pass, then three receives that time out
    auto gap = clock.reads[i] - clock.reads[i - 1];
    EXPECT_GE(gap, 800ms) << i;
    EXPECT_LE(gap, 1600ms) << i;
  }
}

// `records`, then slot `n`'s fields in order from its Mode S id.
std::size_t feed_tcas(TcasSlots& slots, Traffic& traffic, std::size_t n, std::vector<float> fields,
                      std::vector<std::pair<std::uint32_t, float>> records = {}) {
  for (std::size_t f = 0; f < fields.size(); ++f)
    records.push_back({static_cast<std::uint32_t>(tcas_index(n, f)), fields[f]});
  std::string bytes = rref_reply(records);
  return apply_tcas_reply(slots, traffic, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), T0,
                          1700000000000, OwnPosition{47.5, 8.5});
}

TEST(XplaneTcasTest, RequestsSlotsByModeSAndForgetsTheSlotsLastOwner) {
  EXPECT_EQ(tcas_path(0, MODE_S), "sim/cockpit2/tcas/targets/modeS_id[1]");
  EXPECT_EQ(tcas_path(0, FLIGHT_ID + 1), "sim/cockpit2/tcas/targets/flight_id[9]");
  EXPECT_EQ(tcas_path(TCAS_SLOTS - 1, TCAS_FIELDS - 1), "sim/cockpit2/tcas/targets/icao_type[163]");
  EXPECT_EQ(tcas_index(1, LAT), static_cast<std::int32_t>(1000 + TCAS_FIELDS + LAT));
  TcasSlots slots;
  Traffic traffic;
  // A control byte in the flight id is dropped, a NaN left out; index 4 (the user's heading) is not ours.
  std::vector<float> fields{0x4B1A2C, 47.25f, 8.5f, 500, NAN, 600, 50, 0, 'S', 1, 'W', 0, 0, 0, 0, 'B', 300};
  EXPECT_EQ(feed_tcas(slots, traffic, 2, fields, {{4, 1}}), 1u);
  EXPECT_EQ(traffic_json(traffic.aircraft),
            R"({"aircraft":[{"id":"xp-4b1a2c","t":1700000000000,"lat":47.25,"lon":8.5,"alt":500,)"
            R"("gs":49.90701048950939,"vs":600,"ground":false,"callsign":"SW","type":"B"}]})");
  // Another aircraft takes slot 2 and sends no flight id yet: it does not inherit "SW".
  feed_tcas(slots, traffic, 2, {1, 47.0f, 8.0f});
  ASSERT_EQ(traffic.aircraft.size(), 2u);
  EXPECT_EQ(traffic.aircraft[0].key.id, 1u);
  EXPECT_EQ(traffic.aircraft[0].callsign, "");
  EXPECT_FALSE(traffic.aircraft[0].alt);
  // A Mode S id beyond 24 bits is no aircraft (NaN, floods and bad lengths: xplane_reply_fuzz).
  EXPECT_EQ(feed_tcas(slots, traffic, 5, {16777216.0f, 1, 1}), 0u);
}

}  // namespace

}  // namespace tavrik
