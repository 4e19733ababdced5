// The bridge with "--lan" against another machine: two network namespaces
// joined by a veth link (tests/support/netns.sh, which runs this test), the
// bridge in one and the other machine in the other. Linux, as root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "support/fake_xplane.h"
#include "support/netns.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string FORBIDDEN = "HTTP/1.1 403 Forbidden\r\n" + CORS_BLOCK +
                              "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 79\r\n\r\n"
                              "Forbidden: open the tablet address shown in the bridge's window, key included.\n";

// The two machines, as netns.sh describes them in the environment.
struct Machines {
  std::string bridge_ns, client_ns, bridge_ip;
  std::vector<std::string> client_ips;
};

const Machines& machines() {
  static const Machines described = [] {
    Machines m;
    auto get = [](const char* name) { return platform::environment_variable(name).value_or(""); };
    m.bridge_ns = get("TAVRIK_NETNS_BRIDGE");
    m.client_ns = get("TAVRIK_NETNS_CLIENT");
    m.bridge_ip = get("TAVRIK_NETNS_BRIDGE_IP");
    std::istringstream ips(get("TAVRIK_NETNS_CLIENT_IPS"));
    for (std::string ip; ips >> ip;) m.client_ips.push_back(ip);
    return m;
  }();
  return described;
}

class LanE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(machines().bridge_ns.empty() || machines().client_ips.size() < 5)
        << "run through tests/support/netns.sh with -- <this test>, as root";
  }
};

using test::in_namespace;

// A connection from the other machine, from its address `source`, to the
// bridge's address on the link. Invalid when refused.
platform::Socket connect_from(const std::string& source, std::uint16_t port) {
  platform::Socket socket;
  in_namespace(machines().client_ns, [&] {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    inet_pton(AF_INET, machines().bridge_ip.c_str(), &remote.sin_addr);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0)
      socket = platform::Socket(static_cast<std::uintptr_t>(fd));
    else if (fd >= 0)
      close(fd);
  });
  return socket;
}

// One request from the other machine; every byte until the bridge closes.
Received ask_from_client(std::uint16_t port, const std::string& request, std::chrono::milliseconds limit = 10s) {
  platform::Socket socket = connect_from(machines().client_ips[0], port);
  if (!socket.valid()) return {"(refused)", true};
  platform::send_all(socket, request);
  return receive_until(socket, limit);
}

// One request over the bridge machine's own loopback.
std::string ask_on_bridge(std::uint16_t port, const std::string& request) {
  std::string got;
  in_namespace(machines().bridge_ns, [&] { got = http_exchange(port, request); });
  return got;
}

// The bridge in its namespace with a fake X-Plane beside it that keeps the
// aircraft live, so that a leak would show the aircraft's numbers.
struct LanBridge {
  std::unique_ptr<FakeXplane> xplane;
  RunningBridge bridge;
  std::atomic<bool> stop{false};
  std::thread feeder;

  explicit LanBridge(std::vector<std::string> args) {
    in_namespace(machines().bridge_ns, [&] {
      xplane = std::make_unique<FakeXplane>();
      args.insert(args.end(), {"--xplane", xplane->ip});
      bridge = start_bridge(args);
    });
    if (bridge.port == 0) return;
    std::vector<Datagram> pass = xplane->first_pass();
    if (pass.empty()) return;
    feeder = std::thread([this, to = pass[0].from] {
      while (!stop) xplane->answer_for(to, 400ms);
    });
    in_namespace(machines().bridge_ns, [&] { wait_for_state(bridge.port, "\"lat\":47.5"); });
  }
  ~LanBridge() {
    stop = true;
    if (feeder.joinable()) feeder.join();
  }
  std::string out() const { return bridge.process->out(); }
};

// The key of the one "→ tablet:" line, which names the bridge's address on the link.
std::string tablet_key(const LanBridge& lan) {
  lan.bridge.process->wait_for_out("/map?key=", 5s);
  std::smatch match;
  std::string out = lan.out();
  std::regex line("→ tablet: http://" + machines().bridge_ip + ":" + std::to_string(lan.bridge.port) +
                  "/map\\?key=([^\n]*)\n");
  return std::regex_search(out, match, line) ? match[1].str() : "";
}

TEST_F(LanE2eTest, WithoutLanTheOtherMachineCannotConnect) {
  LanBridge lan({});
  ASSERT_NE(lan.bridge.port, 0) << lan.bridge.process->err();
  EXPECT_FALSE(connect_from(machines().client_ips[0], lan.bridge.port).valid());
  EXPECT_NE(ask_on_bridge(lan.bridge.port, "GET /state HTTP/1.1\r\n\r\n").find("\"lat\":47.5"), std::string::npos);
  EXPECT_EQ(occurrences(lan.out(), "tablet"), 0u);
}

TEST_F(LanE2eTest, OtherMachineGetsNothingWithoutTheKey) {
  LanBridge lan({"--lan"});
  ASSERT_NE(lan.bridge.port, 0) << lan.bridge.process->err();
  std::string key = tablet_key(lan);
  ASSERT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{32}"))) << lan.out();
  // The key is in the tablet line and nowhere else.
  EXPECT_EQ(occurrences(lan.out(), key), 1u);
  EXPECT_EQ(occurrences(lan.bridge.process->err(), key), 0u);
  EXPECT_EQ(occurrences(lan.out(), "→ tablet: "), 1u) << lan.out();

  std::string wrong = key;
  wrong[31] = wrong[31] == '0' ? '1' : '0';
  for (std::string query : std::vector<std::string>{"", "?key=" + wrong, "?key=" + key.substr(0, 31),
                                                    "?key=" + key + "0", "?key=", "?Key=" + key, "?k=1&kkey=" + key})
    for (std::string request : std::vector<std::string>{"GET /state", "GET /stream", "GET /map", "GET /track",
                                                        "GET /track.gpx", "GET /", "OPTIONS /state", "GET /tablet"}) {
      auto start = Clock::now();
      Received got = ask_from_client(lan.bridge.port, request + query + " HTTP/1.1\r\nHost: x\r\n\r\n");
      EXPECT_EQ(got.bytes, FORBIDDEN) << request << query;
      EXPECT_TRUE(got.closed) << request << query;
      EXPECT_LT(Clock::now() - start, 2s) << request << query;  // closed at once, not at a time-out
    }

  // With the key: the aircraft, on the page's routes.
  std::string state = ask_from_client(lan.bridge.port, "GET /state?key=" + key + " HTTP/1.1\r\n\r\n").bytes;
  EXPECT_EQ(state.find("HTTP/1.1 200 OK\r\n" + CORS_BLOCK + "Content-Type: application/json\r\n"), 0u) << state;
  EXPECT_NE(state.find("\"lat\":47.5"), std::string::npos) << state;
  platform::Socket stream = connect_from(machines().client_ips[0], lan.bridge.port);
  platform::send_all(stream, "GET /stream?v=1&key=" + key + " HTTP/1.1\r\n\r\n");
  std::string events = read_until(stream, "\"lat\":47.5", 5s);
  EXPECT_EQ(events.find("HTTP/1.1 200 OK\r\n"), 0u) << events;
  EXPECT_NE(events.find("data: {\"live\":true,\"sim\":\"xp\""), std::string::npos) << events;
  std::string map = ask_from_client(lan.bridge.port, "GET /map?key=" + key + " HTTP/1.1\r\n\r\n").bytes;
  EXPECT_EQ(map.find("HTTP/1.1 200 OK\r\n" + CORS_BLOCK + "Content-Type: text/html; charset=utf-8\r\n"), 0u) << map;
  EXPECT_NE(map.find("</html>"), std::string::npos);
  std::string track = ask_from_client(lan.bridge.port, "GET /track?since=0&key=" + key + " HTTP/1.1\r\n\r\n").bytes;
  EXPECT_EQ(track.find("HTTP/1.1 200 OK\r\n"), 0u) << track;
  EXPECT_NE(track.find("{\"segments\":[{\"id\":0,\"points\":[["), std::string::npos) << track;

  // The tablet address, key included, for this computer's own page only: no CORS block, and not for a
  // name that rebinds to this computer.
  std::string port = std::to_string(lan.bridge.port);
  std::string urls = "{\"urls\":[\"http://" + machines().bridge_ip + ":" + port + "/map?key=" + key + "\"]}";
  EXPECT_EQ(ask_on_bridge(lan.bridge.port, "GET /tablet HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nContent-Length: " +
                std::to_string(urls.size()) + "\r\n\r\n" + urls);
  EXPECT_EQ(ask_on_bridge(lan.bridge.port, "GET /tablet HTTP/1.1\r\nHost: rebound.example:" + port + "\r\n\r\n"),
            FORBIDDEN);
}

TEST_F(LanE2eTest, AKeyOfTheUsersOwn) {
  LanBridge lan({"--lan", "--lan-key", "my-Tablet_key~2026.x"});
  ASSERT_NE(lan.bridge.port, 0) << lan.bridge.process->err();
  EXPECT_EQ(tablet_key(lan), "my-Tablet_key~2026.x");
  EXPECT_NE(ask_from_client(lan.bridge.port, "GET /state?key=my-Tablet_key~2026.x HTTP/1.1\r\n\r\n")
                .bytes.find("\"lat\":47.5"),
            std::string::npos);
  EXPECT_EQ(ask_from_client(lan.bridge.port, "GET /state?key=my-Tablet_key~2026.X HTTP/1.1\r\n\r\n").bytes, FORBIDDEN);
}

// Other machines fill every slot and trickle their heads; more are turned
// away at once; this machine's own page is served at once all the while; and
// once the bridge has cut the tricklers, a tablet gets in again.
TEST_F(LanE2eTest, PastTheCapsThisComputerIsStillServed) {
  LanBridge lan({"--lan"});
  ASSERT_NE(lan.bridge.port, 0) << lan.bridge.process->err();
  std::string key = tablet_key(lan);
  const auto& ips = machines().client_ips;
  std::vector<platform::Socket> held;
  for (int machine = 0; machine < 4; ++machine)
    for (int i = 0; i < 8; ++i) {
      held.push_back(connect_from(ips[machine], lan.bridge.port));
      platform::send_all(held.back(), "GET /state?key=" + key + " HTTP/1.1\r\nX-Slow: ");
    }
  auto held_since = Clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    while (!stop) {
      for (auto& socket : held) platform::send_all(socket, "a");
      std::this_thread::sleep_for(200ms);
    }
  });
  std::this_thread::sleep_for(300ms);  // the bridge has taken them all

  // A ninth from one of them, and a first from a fifth machine: closed at once, without a byte.
  for (const std::string& ip : {ips[0], ips[3], ips[4]}) {
    platform::Socket extra = connect_from(ip, lan.bridge.port);
    ASSERT_TRUE(extra.valid()) << ip;  // the system accepts; the bridge closes
    platform::send_all(extra, "GET /state?key=" + key + " HTTP/1.1\r\n\r\n");
    auto start = Clock::now();
    Received got = receive_until(extra, 5s);
    EXPECT_TRUE(got.closed) << ip;
    EXPECT_EQ(got.bytes, "") << ip;
    EXPECT_LT(Clock::now() - start, 2s) << ip;
  }
  // This computer: at once, and many times over (its connections are not counted).
  in_namespace(machines().bridge_ns, [&] {
    std::vector<platform::Socket> own;
    for (int i = 0; i < 50; ++i) own.push_back(connect_loopback(lan.bridge.port));
    for (auto& socket : own) platform::send_all(socket, "GET /state HTTP/1.1\r\n\r\n");
    auto start = Clock::now();
    int answered = 0;
    for (auto& socket : own) answered += read_until(socket, "}", 5s).find("\"lat\":47.5") != std::string::npos;
    EXPECT_EQ(answered, 50);
    EXPECT_LT(Clock::now() - start, 2s);
  });
  EXPECT_LT(Clock::now() - held_since, 5s) << "the slots were held all along";

  // The head's 10 s budget ends the tricklers; their slots come back.
  int cut = 0;
  for (auto& socket : held) cut += receive_until(socket, 15s).closed;
  stop = true;
  trickle.join();
  EXPECT_EQ(cut, 32);
  std::string state = ask_from_client(lan.bridge.port, "GET /state?key=" + key + " HTTP/1.1\r\n\r\n").bytes;
  EXPECT_NE(state.find("\"lat\":47.5"), std::string::npos) << state;
}

}  // namespace

}  // namespace tavrik
