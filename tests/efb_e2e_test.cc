// The bridge with "--efb" and a tablet on another machine: two network
// namespaces joined by a veth link (tests/support/netns.sh runs this test),
// the bridge and a fake X-Plane in one, the tablet in the other. Linux, root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <map>
#include <thread>

#include "efb/gdl90.h"
#include "support/fake_xplane.h"
#include "support/netns.h"
#include "support/process_stats.h"
#include "xplane/tcas.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;

std::string env(const char* name) { return platform::environment_variable(name).value_or(""); }

using test::in_namespace;

// A socket of the tablet on ip:port (ip 0: any, so broadcasts arrive too),
// shareable: a datagram to one address goes to the socket bound to it alone.
platform::Socket tablet_socket(std::uint32_t ip, std::uint16_t port) {
  platform::Socket socket;
  in_namespace(env("TAVRIK_NETNS_CLIENT"), [&] {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{AF_INET, htons(port), {htonl(ip)}, {}};
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << port;
    socket = platform::Socket(static_cast<std::uintptr_t>(fd));
    platform::set_receive_timeout(socket, 50);
    platform::set_broadcast(socket);
  });
  return socket;
}

std::vector<std::string> receive_for(const platform::Socket& socket, std::chrono::milliseconds span) {
  std::vector<std::string> got;
  char buffer[2048];
  for (auto end = std::chrono::steady_clock::now() + span; std::chrono::steady_clock::now() < end;) {
    platform::IoResult r = platform::receive_from(socket, buffer, sizeof buffer, nullptr);
    if (!r.failed()) got.emplace_back(buffer, r.bytes);
  }
  return got;
}

// The aircraft the fake X-Plane flies: every value, the EFB ones at 8 to 11
// (pitch, roll, pressure altitude, on ground).
const std::vector<std::pair<std::uint32_t, float>> AIRCRAFT{{0, -33.9461f}, {1, 151.1772f}, {2, 152.4f}, {3, 250.5f},
                                                            {4, 51.4444f},  {5, 97.f},      {6, -640.f}, {7, 140.f},
                                                            {8, 4.5f},      {9, -22.f},     {10, 480.f}, {11, 0.f}};

// One other aircraft in the first TCAS slot: 1000 ft MSL, on the ground.
const std::vector<std::pair<std::uint32_t, float>> TRAFFIC{{tcas_index(0, MODE_S), 0x4B1A2C},
                                                           {tcas_index(0, LAT), -33.95f},
                                                           {tcas_index(0, LON), 151.18f},
                                                           {tcas_index(0, ELE), 304.8f},
                                                           {tcas_index(0, ON_WHEELS), 1}};

// The bridge with `args` in its namespace and a fake X-Plane beside it, answering at 5 Hz.
struct EfbBridge {
  std::unique_ptr<FakeXplane> xplane;
  RunningBridge bridge;
  std::atomic<bool> stop{false};
  std::thread feeder;
  explicit EfbBridge(std::vector<std::string> args) {
    in_namespace(env("TAVRIK_NETNS_BRIDGE"), [&] {
      xplane = std::make_unique<FakeXplane>();
      args.insert(args.end(), {"--xplane", xplane->ip});
      bridge = start_bridge(args);
    });
    auto pass = bridge.port ? xplane->first_pass() : std::vector<Datagram>{};
    if (!pass.empty())
      feeder = std::thread([this, to = pass[0].from] {
        while (!stop)
          xplane->send(to, rref_reply(AIRCRAFT)), xplane->send(to, rref_reply(TRAFFIC)), xplane->collect(200ms);
      });
  }
  ~EfbBridge() {
    stop = true;
    if (feeder.joinable()) feeder.join();
  }
};

// What 20,000 refused announcements may add to the bridge's memory. AddressSanitizer
// keeps freed blocks in quarantine, so the same churn shows as more there.
#if defined(__SANITIZE_ADDRESS__)
constexpr long MEMORY_SLACK_KIB = 8192;
#else
constexpr long MEMORY_SLACK_KIB = 1024;
#endif

TEST(EfbE2eTest, BroadcastRatesValuesAndAnAnnouncedForeFlight) {
  platform::Socket gdl90 = tablet_socket(0, 4000), sentences = tablet_socket(0, 49002);
  EfbBridge efb({"--efb"});
  ASSERT_NE(efb.bridge.port, 0);
  receive_for(gdl90, 1500ms), receive_for(sentences, 1ms);  // live by now
  std::map<std::string, int> kinds;  // sentences by their text, GDL 90 by message ID (counted after the join)
  std::vector<std::string> texts;
  std::thread sentences_reader([&] { texts = receive_for(sentences, 5000ms); });
  for (const auto& frame : receive_for(gdl90, 5000ms)) {
    std::string m = gdl90_unframe(frame).value_or("?");
    auto u = [&](int at) { return long(std::uint8_t(m[at])); };
    auto s24 = [&](int at) { return (u(at) << 16 | u(at + 1) << 8 | u(at + 2)) - (u(at) >= 0x80 ? 0x1000000 : 0); };
    auto s16 = [&](int at) { return long(std::int16_t(u(at) << 8 | u(at + 1))); };
    ++kinds[std::to_string(u(0) == 0x65 ? 0x6500 + u(1) : u(0))];
    const double step = 180.0 / 8388608;  // lat, lon; alt 25 ft; 1 kt; 64 ft/min; 360/256°; 5 ft; 0.1°
    std::vector<long> decoded, expected;
    if (u(0) == 0) decoded = {u(1)}, expected = {0x81};  // position valid
    if (u(0) == 10)
      decoded =
          {s24(5), s24(8), u(11) << 4 | u(12) >> 4, u(12) & 15, u(14) << 4 | u(15) >> 4, (u(15) & 15) << 8 | u(16),
           u(17)},
      expected = {
          std::lround(-33.9461f / step), std::lround(151.1772f / step), (480 + 1000) / 25, 8 | 3, 100, 0x1000 - 10,
          std::lround(250.5 / 1.40625)};  // airborne, true heading; -640 ft/min
    if (u(0) == 11) decoded = {s16(1)}, expected = {std::lround(152.4f / 0.3048 / 5)};
    if (u(0) == 20)  // the aircraft's 1000 ft MSL in the user's pressure datum, 20 ft below
      decoded = {u(1), u(2) << 16 | u(3) << 8 | u(4), s24(5), s24(8), u(11) << 4 | u(12) >> 4, u(12) & 8},
      expected = {0, 0x4B1A2C, std::lround(-33.95f / step), std::lround(151.18f / step), (980 + 1000) / 25, 0};
    if (u(0) == 0x65 && u(1) == 1) decoded = {s16(2), s16(4), s16(6), s16(8)}, expected = {-220, 45, 2505, 97};
    EXPECT_EQ(decoded, expected) << u(0);
  }
  sentences_reader.join();
  for (const auto& text : texts) ++kinds[text];
  EXPECT_NEAR(kinds["XGPStavrik,151.177,-33.946,152.4,250.50,51.4"], 5, 1);
  EXPECT_NEAR(kinds["XATTtavrik,250.50,4.5,-22.0"], 25, 3);
  EXPECT_NEAR(kinds["XTRAFFICtavrik,4921900,-33.950,151.180,1000.0,0.0,0,0.00,0.0,4B1A2C"], 5, 1);
  EXPECT_NEAR(kinds["20"], 5, 1);
  EXPECT_NEAR(kinds["0"], 5, 1);
  EXPECT_NEAR(kinds["25856"], 5, 1);  // ForeFlight ID
  EXPECT_NEAR(kinds["10"], 25, 3);
  EXPECT_NEAR(kinds["11"], kinds["10"], 1);     // one may fall either side of the window
  EXPECT_NEAR(kinds["25857"], kinds["10"], 1);  // AHRS
  EXPECT_EQ(kinds.size(), 9u);
  EXPECT_NE(efb.bridge.process->out().find("to 10.213.0.255, the network 10.213.0.0/24\n"), std::string::npos);

  // Hostile datagrams first: ignored, memory flat, the bridge serves on.
  platform::Socket app = tablet_socket(0, 4001);
  auto announce = [&](const std::string& text, int times = 1) {
    for (int i = 0; i < times; ++i) platform::send_to(app, text.data(), text.size(), {0x0AD500FF, 63093});
  };
  announce(std::string(2000, '{'));
  announce(R"({"App":"ForeFlight","GDL90":{"port":4001})");
  announce(R"({"App":"Garmin","GDL90":{"port":4001}})");
  auto before = read_process_stats(efb.bridge.process->pid());
  announce(R"({"App":"ForeFlight","GDL90":{"port":"x"}})", 20000);
  std::this_thread::sleep_for(500ms);
  auto after = read_process_stats(efb.bridge.process->pid());
  ASSERT_TRUE(before && after);
  EXPECT_LT(after->resident_kib - before->resident_kib, MEMORY_SLACK_KIB);
  EXPECT_TRUE(receive_for(app, 1000ms).empty());
  in_namespace(env("TAVRIK_NETNS_BRIDGE"),
               [&] { EXPECT_NE(state_body(efb.bridge.port).find("-33.94"), std::string::npos); });

  // Announced: GDL 90 straight to its port, and no more broadcast of it; the sentences as before.
  announce(R"({"App":"ForeFlight","GDL90":{"port":4001}})", 2);
  EXPECT_NEAR(receive_for(app, 2000ms).size(), 2 * 3 + 10 * 3, 6);  // heartbeat, ID, traffic; ownship, altitude, AHRS
  receive_for(gdl90, 300ms);
  EXPECT_TRUE(receive_for(gdl90, 1000ms).empty());
  EXPECT_FALSE(receive_for(sentences, 1000ms).empty());
  EXPECT_EQ(occurrences(efb.bridge.process->out(), "✓ EFB: ForeFlight on 10.213.0.2\n"), 1u);

  // The simulator gone: once a second a heartbeat without a valid position and an ownship report without a fix.
  efb.stop = true, efb.feeder.join(), receive_for(app, 3500ms);
  std::map<char, int> idle;
  for (const auto& f : receive_for(app, 2100ms)) {
    ++idle[f[1]];
    EXPECT_TRUE(f.substr(1, 2) == std::string("\0\x01", 2) || f[1] == 0x65 ||
                f.substr(1, 11) == std::string("\x0A\x01\xF0\xA7\xB1\0\0\0\0\0\0", 11));
  }
  EXPECT_TRUE(idle[0] >= 2 && idle[0] <= 3 && idle[10] == idle[0]) << idle[0] << " " << idle[10];
}

TEST(EfbE2eTest, NamedAddressOnlyAndNothingWithoutTheOption) {
  std::uint32_t named = ntohl(inet_addr("10.213.0.3"));
  platform::Socket any = tablet_socket(0, 4000), there = tablet_socket(named, 4000);
  {
    EfbBridge efb({"--efb", "10.213.0.3"});
    ASSERT_NE(efb.bridge.port, 0);
    EXPECT_GE(receive_for(there, 2000ms).size(), 10u);
    EXPECT_TRUE(receive_for(any, 500ms).empty());  // no broadcast, nothing to another address
  }
  EfbBridge plain({});
  ASSERT_NE(plain.bridge.port, 0);
  platform::Socket sentences = tablet_socket(0, 49002);
  EXPECT_TRUE(receive_for(any, 2500ms).empty());
  EXPECT_TRUE(receive_for(sentences, 500ms).empty());
  EXPECT_EQ(plain.bridge.process->out().find("EFB"), std::string::npos);
}

}  // namespace
}  // namespace tavrik
