// Loopback helpers for tests: raw HTTP exchanges and the bridge under test.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/child_process.h"

namespace tavrik {

// The built bridge.
inline const char* bridge_path() { return TAVRIK_EXE; }

// Whether this build is for Windows, for the few expectations that differ.
constexpr bool built_for_windows() { return TAVRIK_TEST_WINDOWS; }

// Sends `request` to 127.0.0.1:`port` and returns every byte received until
// the server closes (or `limit` passes).
std::string http_exchange(std::uint16_t port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::seconds(10));

// Reads from `socket` until `text` has been seen (or `limit`); returns all read.
std::string read_until(const platform::Socket& socket, const std::string& text, std::chrono::milliseconds limit);

// The port in the ready line "✓ bridge ready on http://localhost:<port> …"; 0 if absent.
std::uint16_t ready_port(const std::string& console);

// A UDP socket on 127.0.0.<n>:`port` for the first free <n> from a random
// start, its address text in *ip: fixed addresses would meet other runs of
// the same tests on this machine. (Wine binds within 127.0.0.0/24 only.)
// Invalid when none is free.
platform::Socket open_free_loopback_udp(std::uint16_t port, std::string* ip);

// One of those addresses at random, not tried.
std::string random_loopback_ip();

// `count` scaled by the percentage in TAVRIK_TEST_SCALE (set for slower test
// hosts such as Wine), at least 1.
int scaled_count(int count);

// Starts the bridge with `args` plus "--port 0" and waits for its ready line.
struct RunningBridge {
  std::unique_ptr<ChildProcess> process;
  std::uint16_t port = 0;
};
RunningBridge start_bridge(std::vector<std::string> args, const ChildOptions& options = {});

}  // namespace tavrik
