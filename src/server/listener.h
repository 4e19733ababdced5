// The loopback HTTP listener and its accept loop.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "state/live_state.h"

namespace tavrik {

constexpr const char* LISTEN_ADDRESS = "127.0.0.1";
constexpr int LISTEN_BACKLOG = 128;
constexpr std::size_t CONNECTION_STACK_SIZE = 256 * 1024;

// Opens the listener on 127.0.0.1:`port`. On failure returns an invalid
// socket and sets `failure` to the whole "✗ cannot open …" line.
platform::Socket open_listener(std::uint16_t port, std::string* failure);

// "✓ bridge ready on http://localhost:<port> — …\n" with the port actually
// bound (the system's choice when 0 was asked for), then the map's address,
// "→ map: http://localhost:<port>/map\n": one text, so that no other
// thread's line comes between them.
std::string ready_lines(const platform::Socket& listener);

// Accepts for ever; each connection runs handle_connection on its own thread.
// A connection whose thread cannot start is closed, and accepting goes on.
[[noreturn]] void run_accept_loop(const platform::Socket& listener, const SharedState& holder);

}  // namespace tavrik
