#include "support/test_support.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/byte_order.h"

namespace tavrik {

using namespace std::chrono_literals;

Received receive_until(const platform::Socket& socket, std::chrono::milliseconds limit, std::string_view text) {
  using Clock = std::chrono::steady_clock;
  Received got;
  const auto end = Clock::now() + limit;
  char buffer[4096];
  while (text.empty() || got.bytes.find(text) == std::string::npos) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    if (left <= 0ms) break;
    platform::set_receive_timeout(socket, static_cast<int>(std::min(left, 200ms).count()));
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed() && platform::is_timeout(r.error)) continue;
    if (r.failed() || r.bytes == 0) {
      got.closed = true;  // end of data, or reset
      break;
    }
    got.bytes.append(buffer, r.bytes);
  }
  return got;
}

ServedConnection::ServedConnection(std::function<void(platform::Socket)> serve) {
  int error = 0;
  listener_ = platform::open_tcp_listener(*platform::parse_ipv4("127.0.0.1", 0), 8, &error);
  client = platform::connect_tcp(*platform::local_address(listener_), &error);
  server_ = std::thread([this, serve] {
    int error = 0;
    platform::Socket stream = platform::accept_connection(listener_, &error);
    if (stream.valid()) serve(std::move(stream));
  });
}

ServedConnection::~ServedConnection() {
  client.close();
  join();
}

void ServedConnection::join() {
  if (server_.joinable()) server_.join();
}

platform::Socket connect_loopback(std::uint16_t port) {
  int error = 0;
  return platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
}

std::string http_exchange(std::uint16_t port, const std::string& request, std::chrono::milliseconds limit) {
  int error = 0;
  platform::Socket socket = platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
  if (!socket.valid()) return "connect failed: " + platform::error_text(error);
  platform::send_all(socket, request);
  return receive_until(socket, limit).bytes;
}

std::string map_file(const std::string& path) {
  return read_file_part(TAVRIK_MAP_DIR "/" + path, 0, std::size_t(1) << 30);
}

HttpAnswer split_answer(const std::string& answer) {
  std::size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) return {answer, {}};
  return {answer.substr(0, end + 2), answer.substr(end + 4)};
}

std::string header_value(const std::string& head, const std::string& name) {
  std::string prefix = "\r\n" + name + ": ";
  std::size_t at = head.find(prefix);
  if (at == std::string::npos) return {};
  at += prefix.size();
  return head.substr(at, head.find("\r\n", at) - at);
}

std::string state_body(std::uint16_t port) {
  std::string response = http_exchange(port, "GET /state HTTP/1.1\r\n\r\n", 5s);
  std::size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? response : response.substr(body + 4);
}

std::string wait_for_state(std::uint16_t port, const std::string& text, std::chrono::milliseconds limit) {
  std::string body;
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    body = state_body(port);
    if (body.find(text) != std::string::npos) break;
  }
  return body;
}

std::string rref_reply(const std::vector<std::pair<std::uint32_t, float>>& records, char fifth) {
  std::string bytes = std::string("RREF") + fifth;
  for (auto [index, value] : records) {
    platform::append_u32_le(bytes, index);
    platform::append_u32_le(bytes, std::bit_cast<std::uint32_t>(value));
  }
  return bytes;
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

// Wine binds a UDP socket on any loopback address to all of them and sends
// from 127.0.0.1, so there a test's peer must be 127.0.0.1 itself to be
// the address its datagrams come from.
std::string loopback_ip(unsigned n) {
  return built_for_windows() ? "127.0.0.1" : "127.0.0." + std::to_string(2 + n % 250);
}

// Another run on this machine may hold the port for a while (under Wine a
// holder on any 127.x address blocks them all): `open` is tried again until it
// gives a socket, within reason.
template <typename Open>
platform::Socket open_while_held(Open open) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    platform::Socket socket = open();
    if (socket.valid() || std::chrono::steady_clock::now() >= give_up) return socket;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

}  // namespace

std::string random_loopback_ip() { return loopback_ip(random_start()); }

std::string unshared_loopback_ip() {
  return built_for_windows() ? "127.0.0.1" : "127.0.0." + std::to_string(252 + random_start() % 3);
}

platform::Socket open_loopback_udp_waiting(const std::string& ip, std::uint16_t port, int* error) {
  return open_while_held([&] { return platform::open_udp(*platform::parse_ipv4(ip, port), error); });
}

platform::Socket open_free_loopback_udp(std::uint16_t port, std::string* ip) {
  return open_while_held([&] {
    const unsigned start = random_start();
    for (unsigned i = 0; i < 250; ++i) {
      *ip = loopback_ip(start + i);
      int error = 0;
      platform::Socket socket = platform::open_udp(*platform::parse_ipv4(*ip, port), &error);
      if (socket.valid()) return socket;
    }
    return platform::Socket{};
  });
}

int scaled_count(int count) {
  auto scale = platform::environment_variable("TAVRIK_TEST_SCALE");
  int percent = scale ? std::atoi(scale->c_str()) : 100;
  if (percent <= 0) percent = 100;
  return std::max(1, count * percent / 100);
}

RunningBridge start_quiet_bridge() {
  unset_env("MSFS_SDK");
  unset_env("MSFS2024_SDK");
  return start_bridge({"--msfs"});
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
