#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

namespace tavrik {

std::string read_until(const platform::Socket& socket, const std::string& text, std::chrono::milliseconds limit) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
    platform::set_receive_timeout(socket, 200);
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed() && platform::is_timeout(r.error)) continue;
    if (r.failed() || r.bytes == 0) break;
    got.append(buffer, r.bytes);
  }
  return got;
}

std::string http_exchange(std::uint16_t port, const std::string& request, std::chrono::milliseconds limit) {
  int error = 0;
  platform::Socket socket = platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
  if (!socket.valid()) return "connect failed: " + platform::error_text(error);
  platform::send_all(socket, request);
  std::string got;
  auto end = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < end) {
    platform::set_receive_timeout(socket, 200);
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed() && platform::is_timeout(r.error)) continue;
    if (r.failed() || r.bytes == 0) break;
    got.append(buffer, r.bytes);
  }
  return got;
}

std::uint16_t ready_port(const std::string& console) {
  const std::string marker = "✓ bridge ready on http://localhost:";
  std::size_t at = console.find(marker);
  if (at == std::string::npos) return 0;
  std::uint16_t port = 0;
  for (std::size_t i = at + marker.size(); i < console.size() && console[i] >= '0' && console[i] <= '9'; ++i)
    port = static_cast<std::uint16_t>(port * 10 + (console[i] - '0'));
  return port;
}

namespace {

// Differs between processes and calls (some random_device implementations
// repeat themselves).
unsigned random_start() {
  std::random_device device;
  return device() ^ static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::string loopback_ip(unsigned n) { return "127.0.0." + std::to_string(2 + n % 250); }

}  // namespace

std::string random_loopback_ip() { return loopback_ip(random_start()); }

platform::Socket open_free_loopback_udp(std::uint16_t port, std::string* ip) {
  const unsigned start = random_start();
  for (unsigned i = 0; i < 250; ++i) {
    *ip = loopback_ip(start + i);
    int error = 0;
    platform::Socket socket = platform::open_udp(*platform::parse_ipv4(*ip, port), &error);
    if (socket.valid()) return socket;
  }
  return {};
}

int scaled_count(int count) {
  auto scale = platform::environment_variable("TAVRIK_TEST_SCALE");
  int percent = scale ? std::atoi(scale->c_str()) : 100;
  if (percent <= 0) percent = 100;
  return std::max(1, count * percent / 100);
}

RunningBridge start_bridge(std::vector<std::string> args, const ChildOptions& options) {
  args.push_back("--port");
  args.push_back("0");
  RunningBridge bridge;
  bridge.process = start_child(bridge_path(), args, options);
  if (bridge.process->wait_for_out(" — enable live position", std::chrono::seconds(20)))
    bridge.port = ready_port(bridge.process->out());
  return bridge;
}

}  // namespace tavrik
