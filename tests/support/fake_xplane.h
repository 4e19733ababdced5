// X-Plane's side of the wire for end-to-end tests: a UDP socket on
// 127.0.0.N:49000 that sees the bridge's requests and answers them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

struct Datagram {
  std::string bytes;
  platform::Ipv4Address from;
  std::chrono::steady_clock::time_point at;
};

// What X-Plane's side of the wire sees.
struct FakeXplane {
  std::string ip;
  platform::Socket socket;

  // On 127.0.0.N:49000 for a free N.
  FakeXplane() {
    socket = open_free_loopback_udp(XPLANE_UDP_PORT, &ip);
    EXPECT_TRUE(socket.valid()) << "no free loopback address for port 49000";
    start_reader();
  }

  // On 127.0.0.N:`port` for a free N; port 0: one the system picks.
  explicit FakeXplane(std::uint16_t port) {
    socket = open_free_loopback_udp(port, &ip);
    EXPECT_TRUE(socket.valid()) << "no free loopback address for port " << port;
    start_reader();
  }

  // "address:port" of the socket, as a host argument names it.
  std::string host_and_port() const { return ip + ":" + std::to_string(platform::local_address(socket)->port); }

  // On the given address, once it is free.
  explicit FakeXplane(std::string at) : ip(std::move(at)) {
    int error = 0;
    socket = open_loopback_udp_waiting(ip, XPLANE_UDP_PORT, &error);
    EXPECT_TRUE(socket.valid()) << ip << ": " << platform::error_text(error);
    start_reader();
  }

  void send(platform::Ipv4Address to, const std::string& bytes) const {
    platform::send_to(socket, bytes.data(), bytes.size(), to);
  }

  // Every datagram that arrives within `span` (or waited, unread, since the last look).
  std::vector<Datagram> collect(std::chrono::steady_clock::duration span) {
    std::vector<Datagram> got;
    for (auto end = std::chrono::steady_clock::now() + span;;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      std::lock_guard<std::mutex> lock(mutex_);
      got.insert(got.end(), queue_.begin(), queue_.end());
      queue_.clear();
      if (std::chrono::steady_clock::now() >= end) return got;
    }
  }

  ~FakeXplane() {
    running_ = false;
    if (reader_.joinable()) reader_.join();
  }

 private:
  // Drained from the start into a queue, and with room for several passes of
  // 388 requests: under Wine a busy machine may hold the reader up for a while.
  void start_reader() {
    if (!socket.valid()) return;
    platform::set_receive_timeout(socket, 100);
    EXPECT_TRUE(platform::set_receive_buffer(socket, 4 << 20));
    reader_ = std::thread([this] {
      char buffer[2048];
      for (platform::Ipv4Address from; running_;) {
        platform::IoResult r = platform::receive_from(socket, buffer, sizeof buffer, &from);
        if (r.failed()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // an error may come at once, again and again
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({std::string(buffer, r.bytes), from, std::chrono::steady_clock::now()});
      }
    });
  }
  std::mutex mutex_;
  std::deque<Datagram> queue_;
  std::atomic<bool> running_{true};
  std::thread reader_;

 public:
  // Waits for the first complete pass, one request per value; empty on time-out.
  std::vector<Datagram> first_pass(std::chrono::steady_clock::duration limit = std::chrono::seconds(20)) {
    std::vector<Datagram> got;
    auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < XPLANE_PASS_SIZE && std::chrono::steady_clock::now() < end) {
      auto more = collect(std::chrono::milliseconds(100));
      got.insert(got.end(), more.begin(), more.end());
    }
    return got;
  }

  // A reply with latitude, longitude and a heading of 90.
  void reply(platform::Ipv4Address to, float lat, float lon) { send(to, rref_reply({{0, lat}, {1, lon}, {3, 90.0f}})); }

  // Answers at about 5 Hz for `span`; returns requests that arrived meanwhile.
  std::vector<Datagram> answer_for(platform::Ipv4Address to, std::chrono::steady_clock::duration span) {
    std::vector<Datagram> requests;
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
      reply(to, 47.5f, 8.25f);
      auto more = collect(std::chrono::milliseconds(200));
      requests.insert(requests.end(), more.begin(), more.end());
    }
    return requests;
  }
};

// The bridge against a fake X-Plane, once its first subscription pass is in
// (an empty pass if the bridge did not come up).
struct XplaneRun {
  FakeXplane xplane;
  RunningBridge bridge = start_bridge({"--xplane", xplane.ip});
  std::vector<Datagram> pass = bridge.port != 0 ? xplane.first_pass() : std::vector<Datagram>{};
};

}  // namespace tavrik
