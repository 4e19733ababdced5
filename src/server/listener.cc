#include "server/listener.h"

#include <thread>

#include "server/http_connection.h"

namespace tavrik {
namespace {

constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);

std::string listener_url(std::uint16_t port) { return "http://localhost:" + std::to_string(port); }

}  // namespace

platform::Socket open_listener(std::uint16_t port, bool lan, std::string* failure) {
  int error = 0;
  platform::Socket listener = platform::open_tcp_listener(
      *platform::parse_ipv4(lan ? LAN_LISTEN_ADDRESS : LISTEN_ADDRESS, port), LISTEN_BACKLOG, &error);
  if (!listener.valid())
    *failure = "✗ cannot open " + listener_url(port) + ": " + platform::error_text(error) +
               " (is the bridge already running?)\n";
  return listener;
}

std::string ready_lines(const platform::Socket& listener) {
  auto bound = platform::local_address(listener);
  std::string url = listener_url(bound ? bound->port : 0);
  return "✓ bridge ready on " + url + " — enable live position (📡) on the map. Close this window to stop.\n" +
         "→ map: " + url + "/map\n";
}

void run_accept_loop(const platform::Socket& listener, const SharedState& holder,
                     std::shared_ptr<const LanAccess> lan) {
  auto slots = std::make_shared<LanSlots>();
  auto bound = platform::local_address(listener);
  std::uint16_t port = bound ? bound->port : 0;  // of the bridge's own origin
  for (;;) {
    int error = 0;
    platform::Ipv4Address peer;
    platform::Socket stream = platform::accept_connection(listener, &error, &peer);
    if (!stream.valid()) {
      // Out of sockets, the same connection fails again at once: pause so the
      // loop does not spin a core beside the simulator until one is freed.
      if (platform::is_out_of_resources(error)) std::this_thread::sleep_for(ACCEPT_RETRY_PAUSE);
      continue;
    }
    std::optional<LanSlots::Slot> slot = slots->take(peer.ip);
    if (!slot) continue;  // over a cap: the stream closes here
    // If the thread cannot start, the discarded body closes the connection
    // and gives its slot back.
    platform::start_detached_thread(
        [stream = std::move(stream), holder, slot = std::move(*slot), caller = Caller{peer.ip, lan, port}]() mutable {
          handle_connection(std::move(stream), holder, {}, caller);
        },
        CONNECTION_STACK_SIZE);
  }
}

}  // namespace tavrik
