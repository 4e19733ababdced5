// The loopback HTTP listener and its accept loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "server/lan_access.h"
#include "state/live_state.h"

namespace tavrik {

constexpr const char* LISTEN_ADDRESS = "127.0.0.1";
constexpr const char* LAN_LISTEN_ADDRESS = "0.0.0.0";  // every IPv4 interface, with "--lan"
constexpr int LISTEN_BACKLOG = 128;
constexpr std::size_t CONNECTION_STACK_SIZE = 256 * 1024;

// Opens the listener on 127.0.0.1:`port`, or on every IPv4 interface for
// `lan`. On failure returns an invalid socket and sets `failure` to the whole
// "✗ cannot open …" line.
platform::Socket open_listener(std::uint16_t port, bool lan, std::string* failure);

// "✓ bridge ready on http://localhost:<port> — …\n" with the port actually
// bound (the system's choice when 0 was asked for), then the map's address,
// "→ map: http://localhost:<port>/map\n": one text, so that no other
// thread's line comes between them.
std::string ready_lines(const platform::Socket& listener);

// Accepts for ever; each connection runs handle_connection on its own thread.
// A connection whose thread cannot start is closed, and accepting goes on.
// A connection from another machine past the caps (lan_access.h) is closed at
// once, before any thread; its slot is given back when its thread ends.
[[noreturn]] void run_accept_loop(const platform::Socket& listener, const SharedState& holder,
                                  std::shared_ptr<const LanAccess> lan = nullptr);

}  // namespace tavrik
