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
#include "support/process_stats.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
using Addr = platform::Ipv4Address;

std::string env(const char* name) { return platform::environment_variable(name).value_or(""); }

void in_namespace(const std::string& ns, const std::function<void()>& work) {
  std::thread([&] {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    if (entered) return work();
    ADD_FAILURE() << "cannot enter network namespace " << ns;
  }).join();
}

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

// The aircraft the fake X-Plane flies: every value, the EFB ones at 8 to 11.
const std::vector<std::pair<std::uint32_t, float>> AIRCRAFT{{0, -33.9461f}, {1, 151.1772f}, {2, 152.4f}, {3, 250.5f},
                                                            {4, 51.4444f},  {5, 97.f},      {6, -640.f}, {7, 140.f},
                                                            {8, 4.5f},      {9, -22.f},     {10, 480.f}, {11, 0.f}};

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
        while (!stop) xplane->send(to, rref_reply(AIRCRAFT)), xplane->collect(200ms);
      });
  }
  ~EfbBridge() {
    stop = true;
    if (feeder.joinable()) feeder.join();
  }
};

std::int32_t s24(const std::string& m, int at) {
  std::int32_t v = (std::uint8_t)m[at] << 16 | (std::uint8_t)m[at + 1] << 8 | (std::uint8_t)m[at + 2];
  return v >= 0x800000 ? v - 0x1000000 : v;
}
int s16(const std::string& m, int at) { return std::int16_t((std::uint8_t)m[at] << 8 | (std::uint8_t)m[at + 1]); }

TEST(EfbE2eTest, BroadcastRatesValuesAndAnAnnouncedForeFlight) {
  platform::Socket gdl90 = tablet_socket(0, 4000), sentences = tablet_socket(0, 49002);
  EfbBridge efb({"--efb"});
  ASSERT_NE(efb.bridge.port, 0);
  receive_for(gdl90, 1500ms);  // live by now
  receive_for(sentences, 1ms);
  std::thread sentences_reader([&] {
    std::map<std::string, int> kinds;
    for (const auto& s : receive_for(sentences, 5000ms)) {
      ++kinds[s.substr(0, 4)];
      if (s.rfind("XATT", 0) == 0) {
        EXPECT_EQ(s, "XATTtavrik,250.50,4.5,-22.0");
      }
      if (s.rfind("XGPS", 0) == 0) {
        EXPECT_EQ(s, "XGPStavrik,151.177,-33.946,152.4,250.50,51.4");
      }
    }
    EXPECT_NEAR(kinds["XGPS"], 5, 1);
    EXPECT_NEAR(kinds["XATT"], 25, 3);
  });
  std::map<int, int> ids;
  for (const auto& frame : receive_for(gdl90, 5000ms)) {
    auto m = gdl90_unframe(frame);
    ASSERT_TRUE(m) << frame;
    int id = (std::uint8_t)(*m)[0] == 0x65 ? 0x6500 + (*m)[1] : (std::uint8_t)(*m)[0];
    ++ids[id];
    if (id == 0) {  // position valid
      EXPECT_EQ((std::uint8_t)(*m)[1], 0x81);
    }
    if (id == 10) {
      EXPECT_NEAR(s24(*m, 5) * 180.0 / 8388608, -33.9461, 180.0 / 8388608);
      EXPECT_NEAR(s24(*m, 8) * 180.0 / 8388608, 151.1772, 180.0 / 8388608);
      EXPECT_EQ(((std::uint8_t)(*m)[11] << 4 | (std::uint8_t)(*m)[12] >> 4), (480 + 1000) / 25);
      EXPECT_EQ((std::uint8_t)(*m)[12] & 0xF, 0x8 | 3);                                      // airborne, true heading
      EXPECT_EQ(((std::uint8_t)(*m)[14] << 4 | (std::uint8_t)(*m)[15] >> 4), 100);           // 51.4444 m/s
      EXPECT_EQ(((std::uint8_t)(*m)[15] & 0xF) << 8 | (std::uint8_t)(*m)[16], 0x1000 - 10);  // -640 ft/min
      EXPECT_EQ((std::uint8_t)(*m)[17], std::lround(250.5 / 1.40625));
    }
    if (id == 11) {
      EXPECT_EQ(s16(*m, 1), std::lround(152.4 / 0.3048 / 5));
    }
    if (id == 0x6501) {  // roll, pitch
      EXPECT_EQ(std::make_pair(s16(*m, 2), s16(*m, 4)), std::make_pair(-220, 45));
    }
  }
  sentences_reader.join();
  EXPECT_NEAR(ids[0], 5, 1);
  EXPECT_NEAR(ids[0x6500], 5, 1);
  EXPECT_NEAR(ids[10], 25, 3);
  EXPECT_EQ(ids[11], ids[10]);
  EXPECT_EQ(ids[0x6501], ids[10]);
  const std::string& out = efb.bridge.process->out();
  EXPECT_NE(out.find("→ EFB: GDL 90 (UDP 4000) and ForeFlight's sentences (UDP 49002) to 10.213.0.255, the network "
                     "10.213.0.0/24\n"),
            std::string::npos)
      << out;

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
  EXPECT_LT(after->resident_kib - before->resident_kib, 1024);
  EXPECT_TRUE(receive_for(app, 1000ms).empty());
  in_namespace(env("TAVRIK_NETNS_BRIDGE"),
               [&] { EXPECT_NE(state_body(efb.bridge.port).find("-33.94"), std::string::npos); });

  // Announced: GDL 90 straight to its port, and no more broadcast of it; the sentences as before.
  announce(R"({"App":"ForeFlight","GDL90":{"port":4001}})", 2);
  EXPECT_NEAR(receive_for(app, 2000ms).size(), 2 * 2 + 10 * 3, 6);  // heartbeat, ID; ownship, altitude, AHRS
  receive_for(gdl90, 300ms);
  EXPECT_TRUE(receive_for(gdl90, 1000ms).empty());
  EXPECT_FALSE(receive_for(sentences, 1000ms).empty());
  EXPECT_EQ(occurrences(efb.bridge.process->out(), "✓ EFB: ForeFlight on 10.213.0.2\n"), 1u);
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
