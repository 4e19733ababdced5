// A load generator for one request per connection: each worker connects,
// sends a GET for /state, reads to the close and checks the answer. Unlike
// wrk, it never tries to reuse a connection the server has closed, so every
// failure it counts is a request that really failed.
//   state_load <port> <workers> <seconds>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace tavrik {

namespace {

std::atomic<long> ok_count{0}, failed_count{0};

bool one_request(platform::Ipv4Address server) {
  int error = 0;
  platform::Socket socket = platform::connect_tcp(server, &error);
  if (!socket.valid()) return false;
  static const std::string request = "GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (!platform::send_all(socket, request)) return false;
  std::string got;
  char buffer[4096];
  for (;;) {
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed()) return false;
    if (r.bytes == 0) break;
    got.append(buffer, r.bytes);
  }
  return got.compare(0, 15, "HTTP/1.1 200 OK") == 0 && got.size() >= 14 &&
         got.compare(got.size() - 14, 14, "{\"live\":false}") == 0;
}

}  // namespace

int run_state_load(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: state_load <port> <workers> <seconds>\n");
    return 2;
  }
  auto server = *platform::parse_ipv4("127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[1])));
  int workers = std::atoi(argv[2]);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
  std::vector<std::thread> threads;
  for (int i = 0; i < workers; ++i)
    threads.emplace_back([&] {
      while (std::chrono::steady_clock::now() < end) (one_request(server) ? ok_count : failed_count)++;
    });
  for (auto& t : threads) t.join();
  double seconds = std::atof(argv[3]);
  std::printf("%.0f %ld\n", ok_count / seconds, failed_count.load());
  return 0;
}

}  // namespace tavrik

int main(int argc, char** argv) { return tavrik::run_state_load(argc, argv); }
