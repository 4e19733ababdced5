// The built bridge's HTTP server, reached over loopback like a browser would.
#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ServerE2eTest, StateAndPreflight) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  // Only this computer's 127.0.0.1 is served: another loopback address on the
  // same port finds nobody, as the network would.
  int error = 0;
  EXPECT_FALSE(platform::connect_tcp(*platform::parse_ipv4("127.0.0.2", bridge.port), &error).valid());
  EXPECT_EQ(http_exchange(bridge.port, "GET /state HTTP/1.1\r\nHost: localhost\r\n\r\n"), NOT_LIVE_JSON);
  EXPECT_EQ(http_exchange(bridge.port, "OPTIONS /state HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 204 No Content\r\n" + CORS_BLOCK + "Content-Length: 0\r\n\r\n");
}

TEST(ServerE2eTest, StreamSendsRetryThenEvents) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  platform::Socket client = connect_loopback(bridge.port);
  platform::send_all(client, "GET /stream HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
  std::string got = read_until(client, "retry: 2000\n\n", 5s);
  auto header_at = Clock::now();
  if (got.find(NOT_LIVE_EVENT) == std::string::npos) got += read_until(client, "\n\n", 5s);  // unless it came along
  auto first_at = Clock::now();
  EXPECT_EQ(got, "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                     "Content-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: keep-alive\r\n\r\n"
                     "retry: 2000\n\n" +
                     NOT_LIVE_EVENT);
  EXPECT_EQ(read_until(client, NOT_LIVE_EVENT, 5s), NOT_LIVE_EVENT);  // the heartbeat
  auto beat_at = Clock::now();
  // The first event follows the header at once, not a heartbeat later; the
  // heartbeat comes about 1.1 s after it.
  EXPECT_LT(first_at - header_at, 600ms);
  EXPECT_GE(beat_at - first_at, 700ms);
  EXPECT_LT(beat_at - first_at, 2500ms);
}

TEST(ServerE2eTest, ManyClientsWhileAStreamIsOpen) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  platform::Socket stream = connect_loopback(bridge.port);
  platform::send_all(stream, "GET /stream HTTP/1.1\r\n\r\n");
  ASSERT_NE(read_until(stream, NOT_LIVE_EVENT, 5s).find(NOT_LIVE_EVENT), std::string::npos);

  constexpr int CLIENTS = 50;
  std::vector<platform::Socket> clients;
  for (int i = 0; i < CLIENTS; ++i) clients.push_back(connect_loopback(bridge.port));
  for (auto& client : clients) platform::send_all(client, "GET /state HTTP/1.1\r\n\r\n");
  int answered = 0;
  for (auto& client : clients) answered += read_until(client, "{\"live\":false}", 10s) == NOT_LIVE_JSON;
  EXPECT_EQ(answered, CLIENTS);
  EXPECT_EQ(read_until(stream, NOT_LIVE_EVENT, 5s), NOT_LIVE_EVENT);  // the stream goes on
}

TEST(ServerE2eTest, UnfinishedHeadIsAnsweredWhenTheReceiveTimesOut) {
  // Real time: the 5 s receive time-out, in the units each system expects;
  // three clients side by side, each answered 5 s after its request line.
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  std::vector<std::thread> clients;
  std::vector<std::chrono::steady_clock::duration> waited(3);
  std::vector<std::string> got(3);
  for (std::size_t i = 0; i < waited.size(); ++i)
    clients.emplace_back([&, i] {
      platform::Socket client = connect_loopback(bridge.port);
      auto start = std::chrono::steady_clock::now();
      platform::send_all(client, "GET /state HTTP/1.1\r\n");
      got[i] = read_until(client, "{\"live\":false}", 15s);
      waited[i] = std::chrono::steady_clock::now() - start;
    });
  for (auto& client : clients) client.join();
  for (std::size_t i = 0; i < waited.size(); ++i) {
    EXPECT_EQ(got[i], NOT_LIVE_JSON);
    EXPECT_GE(waited[i], 4s);
    EXPECT_LE(waited[i], 8s);
  }
}

}  // namespace

}  // namespace tavrik
