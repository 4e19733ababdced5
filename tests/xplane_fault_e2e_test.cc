// The built bridge's X-Plane feed under bad and changing senders: thousands
// of random, truncated and oversize datagrams, X-Plane going silent and
// coming back, and a stranger beside it. The fake X-Plane sits on
// 127.0.0.N:49000 and learns the bridge's address from its requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "support/fake_xplane.h"
#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void send(const platform::Socket& from, platform::Ipv4Address to, const std::string& bytes) {
  platform::send_to(from, bytes.data(), bytes.size(), to);
}

// Sends `bytes` until /state shows `text`: a burst before it may have filled
// the bridge's socket buffer, and UDP drops what does not fit. A copy goes
// again only after a second unseen, long after the last one was read.
std::string send_until_shown(const platform::Socket& from, platform::Ipv4Address to, const std::string& bytes,
                             std::uint16_t http_port, const std::string& text) {
  std::string body;
  for (int attempt = 0; attempt < 10 && body.find(text) == std::string::npos; ++attempt) {
    send(from, to, bytes);
    body = wait_for_state(http_port, text, 1s);
  }
  return body;
}

// A datagram that must never count as data: not headed "RREF", shorter than
// five bytes, or larger than the feed's 2048-byte buffer.
std::string bad_datagram(std::mt19937& random) {
  auto byte = [&] { return static_cast<char>(random() & 0xFF); };
  std::string bytes;
  switch (random() % 6) {
    case 0:  // a cut-off head
      return std::string("RREF").substr(0, random() % 5);
    case 1:  // one byte of the head wrong
      bytes = "RREF,";
      bytes[random() % 4] ^= static_cast<char>(1 + random() % 255);
      break;
    case 2:  // oversize, though headed well
      bytes = "RREF,";
      bytes.resize(2049 + random() % 4000, '\0');
      return bytes;
    default:  // random bytes of random length
      bytes.resize(random() % 2100);
      for (char& c : bytes) c = byte();
      if (bytes.size() >= 4 && bytes.compare(0, 4, "RREF") == 0) bytes[0] = 'X';
      return bytes;
  }
  for (int i = random() % 40; i > 0; --i) bytes += byte();
  return bytes;
}

// Headed "RREF", at most 2048 bytes, records random.
std::string random_good_datagram(std::mt19937& random) {
  std::string bytes = "RREF";
  bytes.resize(5 + random() % 2044);
  for (std::size_t i = 4; i < bytes.size(); ++i) bytes[i] = static_cast<char>(random() & 0xFF);
  for (std::size_t at = 5; at + 8 <= bytes.size(); at += 8)
    if (random() % 2) bytes[at + 1] = bytes[at + 2] = bytes[at + 3] = '\0';  // many indexes below 256
  return bytes;
}

TEST(XplaneFaultE2eTest, OnlyRrefHeadsStampAnUpdate) {
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  const platform::Socket& xplane = run.xplane.socket;
  const platform::Ipv4Address to = run.pass[0].from;

  std::mt19937 random(20261208);
  const int batch = scaled_count(500);
  int bad_sent = 0, good_sent = 0;
  // Spread over 400 ms or more: several stream polls see the bridge meanwhile.
  auto send_bad_batch = [&] {
    for (int i = 0; i < batch; ++i, ++bad_sent) {
      send(xplane, to, bad_datagram(random));
      if (i % std::max(1, batch / 20) == 0) std::this_thread::sleep_for(20ms);
    }
  };

  // A stream shows every stamp: each update makes an event at the next poll,
  // with its own "t". After each batch of bad datagrams, a marker reply from
  // the same sender, read after all of them; until the marker's event the
  // stream only repeats the event from before the batch, and the marker's
  // snapshot carries its own values alone.
  platform::Socket stream = connect_loopback(run.bridge.port);
  platform::send_all(stream, "GET /stream HTTP/1.1\r\n\r\n");
  std::string received = read_until(stream, NOT_LIVE_EVENT, 5s);
  ASSERT_NE(received.find(NOT_LIVE_EVENT), std::string::npos) << received;
  std::string before = NOT_LIVE_EVENT, pending;
  for (int round = 0; round < 6; ++round) {
    send_bad_batch();
    const std::string marker = "\"lat\":" + std::to_string(10 + round) + ".5,\"lon\":20.25}";
    std::string shown = send_until_shown(xplane, to, rref_reply({{0, 10.5f + static_cast<float>(round)}, {1, 20.25f}}),
                                         run.bridge.port, marker);
    ++good_sent;
    EXPECT_TRUE(shown.starts_with("{\"live\":true,\"sim\":\"xp\",\"t\":") && shown.ends_with("," + marker)) << shown;
    std::string events = pending + read_until(stream, marker, 5s);
    std::size_t at = events.find(marker);
    ASSERT_NE(at, std::string::npos) << "round " << round << ": " << events;
    std::size_t start = events.rfind("data: ", at), end = events.find("\n\n", at);
    ASSERT_NE(end, std::string::npos) << events;
    std::string between = events.substr(0, start);
    for (std::size_t same = between.find(before); same != std::string::npos; same = between.find(before))
      between.erase(same, before.size());
    EXPECT_EQ(between, "") << "round " << round << ", before the batch: " << before;
    before = events.substr(start, end + 2 - start);
    pending = events.substr(end + 2);
  }

  // Random well-headed replies are all taken; the last one decides.
  for (int i = 0; i < batch; ++i, ++good_sent) {
    send(xplane, to, random_good_datagram(random));
    if (i % 50 == 49) std::this_thread::sleep_for(2ms);
  }
  std::vector<std::pair<std::uint32_t, float>> all;
  std::string every_value;  // each value under its name, in order: "lat":1.5,"lon":2.5,...
  for (std::uint32_t i = 0; i < VALUE_COUNT; ++i) {
    all.push_back({i, 1.5f + static_cast<float>(i)});
    every_value += std::string(i ? "," : "") + "\"" + VALUE_NAMES[i] + "\":" + std::to_string(i + 1) + ".5";
  }
  std::string last = send_until_shown(xplane, to, rref_reply(all), run.bridge.port, "\"lat\":1.5,");
  ++good_sent;
  EXPECT_NE(last.find("\"sim\":\"xp\""), std::string::npos) << last;
  EXPECT_NE(last.find(every_value + "}"), std::string::npos) << last;
  EXPECT_EQ(run.bridge.process->wait(0ms), std::nullopt);  // still running
  std::printf("[ datagrams] %d bad and %d well-headed sent\n", bad_sent, good_sent);
}

// Only X-Plane's address counts: another machine (another loopback address
// stands in for it) can neither make the state live nor move the aircraft,
// while X-Plane's own datagrams go on working, through silence and back.
TEST(XplaneFaultE2eTest, OnlyTheTargetsDatagramsCount) {
  if (built_for_windows()) GTEST_SKIP() << "Wine sends every loopback datagram from 127.0.0.1: no other address to be";
  int error = 0;
  platform::Socket stranger = platform::open_udp(*platform::parse_ipv4(unshared_loopback_ip(), 0), &error);
  ASSERT_TRUE(stranger.valid()) << platform::error_text(error);
  XplaneRun run;
  ASSERT_EQ(run.pass.size(), XPLANE_PASS_SIZE) << run.bridge.process->err();
  const platform::Socket& xplane = run.xplane.socket;
  const platform::Ipv4Address to = run.pass[0].from;
  auto from_stranger = [&](float lat) {
    for (int i = 0; i < 10; ++i) {
      send(stranger, to, rref_reply({{0, lat}, {1, 2.25f}}));
      std::this_thread::sleep_for(50ms);
    }
  };

  from_stranger(3.5f);
  EXPECT_EQ(state_body(run.bridge.port), "{\"live\":false}");
  std::string shown =
      send_until_shown(xplane, to, rref_reply({{0, 1.5f}, {1, 2.25f}}), run.bridge.port, "\"lat\":1.5,");
  EXPECT_NE(shown.find("\"lat\":1.5,"), std::string::npos) << shown;
  from_stranger(3.5f);
  std::string kept = state_body(run.bridge.port);
  EXPECT_NE(kept.find("{\"live\":true,\"sim\":\"xp\""), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"lat\":1.5,\"lon\":2.25}"), std::string::npos) << kept;
  shown = send_until_shown(xplane, to, rref_reply({{0, 5.5f}, {1, 2.25f}}), run.bridge.port, "\"lat\":5.5,");
  EXPECT_NE(shown.find("\"lat\":5.5,"), std::string::npos) << shown;

  // Silence: not live after 3 s, and the subscriptions go out again, however
  // much the stranger sends meanwhile.
  from_stranger(3.5f);
  EXPECT_EQ(wait_for_state(run.bridge.port, "{\"live\":false}", 10s), "{\"live\":false}");
  EXPECT_GE(run.xplane.collect(4500ms).size(), VALUE_COUNT);

  // X-Plane comes back.
  std::string back = send_until_shown(xplane, to, rref_reply({{0, 7.5f}, {1, 2.25f}}), run.bridge.port, "\"lat\":7.5,");
  EXPECT_NE(back.find("{\"live\":true,\"sim\":\"xp\""), std::string::npos) << back;
  EXPECT_NE(back.find("\"lat\":7.5,\"lon\":2.25}"), std::string::npos) << back;
  EXPECT_EQ(back.find("3.5"), std::string::npos) << back;
}

}  // namespace

}  // namespace tavrik
