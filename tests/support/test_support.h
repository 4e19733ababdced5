// Loopback helpers for tests: raw HTTP exchanges and the bridge under test.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/child_process.h"

namespace tavrik {

// The built bridge.
inline const char* bridge_path() { return TAVRIK_EXE; }

// Whether this build is for Windows, for the few expectations that differ.
constexpr bool built_for_windows() { return TAVRIK_TEST_WINDOWS; }

// The CORS block after the status line of every response, and what the
// bridge answers while nothing is live: written out here byte for byte, so
// that a change in the program shows.
inline const std::string CORS_BLOCK =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n";
inline const std::string NOT_LIVE_JSON =
    "HTTP/1.1 200 OK\r\n" + CORS_BLOCK + "Content-Type: application/json\r\nContent-Length: 14\r\n\r\n{\"live\":false}";
inline const std::string NOT_LIVE_EVENT = "data: {\"live\":false}\n\n";
// The text notice, the answer to every path the bridge does not serve.
inline const std::string TEXT_ANSWER = "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                                       "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 93\r\n\r\n"
                                       "Velmara tavrik is running. Keep this window open and enable live position "
                                       "(\xF0\x9F\x93\xA1) on the map.\n";

// The bytes of a file below the source tree's map/ folder.
std::string map_file(const std::string& path);

// An HTTP answer split at its blank line: status line and headers (each
// ended by CR LF, the blank line left out), and the body.
struct HttpAnswer {
  std::string head;
  std::string body;
};
HttpAnswer split_answer(const std::string& answer);
// The value of the header `name` (exact case) in `head`; empty when absent.
std::string header_value(const std::string& head, const std::string& name);

// A client connected to 127.0.0.1:`port`; invalid when nobody accepts.
platform::Socket connect_loopback(std::uint16_t port);

// A listener on 127.0.0.1:0 whose first connection `serve` takes on a thread
// of its own, and a client connected to it. Ending it closes the client, then
// waits for `serve` to return.
class ServedConnection {
 public:
  explicit ServedConnection(std::function<void(platform::Socket)> serve);
  ~ServedConnection();
  void join();  // waits for `serve` to return; the client stays open
  platform::Socket client;

 private:
  platform::Socket listener_;
  std::thread server_;
};

// What a client received, and whether the server closed (end of data or a
// reset) before the limit.
struct Received {
  std::string bytes;
  bool closed = false;
};
// Receives until the server closes, `text` (when given) has arrived, or `limit` passes.
Received receive_until(const platform::Socket& socket, std::chrono::milliseconds limit, std::string_view text = {});
inline std::string read_until(const platform::Socket& socket, std::string_view text, std::chrono::milliseconds limit) {
  return receive_until(socket, limit, text).bytes;
}

// Sends `request` to 127.0.0.1:`port` and returns every byte received until
// the server closes (or `limit` passes).
std::string http_exchange(std::uint16_t port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::seconds(10));

// The body of the answer to "GET /state" (all of it when it has no head).
std::string state_body(std::uint16_t port);
// Polls "/state" until its body contains `text`; the last body seen.
std::string wait_for_state(std::uint16_t port, const std::string& text,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

// An X-Plane reply: "RREF", `fifth`, then (index, value) records, little-endian.
std::string rref_reply(const std::vector<std::pair<std::uint32_t, float>>& records, char fifth = ',');

// How many times `part` occurs in `text`, for console lines that must come once.
inline std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// The port in the ready line "✓ bridge ready on http://localhost:<port> …"; 0 if absent.
std::uint16_t ready_port(const std::string& console);

// A UDP socket on 127.0.0.<n>:`port` for the first free <n> from a random
// start, its address text in *ip: fixed addresses would meet other runs of
// the same tests on this machine. (Wine binds within 127.0.0.0/24 only, and
// answers from 127.0.0.1 whatever the address: there it is always 127.0.0.1.)
// Invalid when none is free.
platform::Socket open_free_loopback_udp(std::uint16_t port, std::string* ip);

// One of those addresses at random, not tried.
std::string random_loopback_ip();

// 127.0.0.<n> for an <n> that open_free_loopback_udp never hands out, so a
// test may leave it unbound for a while and take it later.
std::string unshared_loopback_ip();

// A UDP socket on ip:`port`, waiting while another run holds it (under Wine a
// holder of the port on any loopback address blocks all). Invalid, with the
// last error in *error, when it stays taken.
platform::Socket open_loopback_udp_waiting(const std::string& ip, std::uint16_t port, int* error);

// `count` scaled by the percentage in TAVRIK_TEST_SCALE (set for slower test
// hosts such as Wine), at least 1.
int scaled_count(int count);

// Starts the bridge with `args` plus "--port 0" and waits for its ready line.
struct RunningBridge {
  std::unique_ptr<ChildProcess> process;
  std::uint16_t port = 0;
};
RunningBridge start_bridge(std::vector<std::string> args, const ChildOptions& options = {});
// MSFS alone with no SDK variables and no SimConnect anywhere near: nothing
// ever turns the state live.
RunningBridge start_quiet_bridge();

}  // namespace tavrik
