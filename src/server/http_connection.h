// One client connection of the local HTTP server, from first byte to close.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/lan_access.h"
#include "server/routes.h"
#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

constexpr std::chrono::milliseconds REQUEST_READ_TIMEOUT{5000};

// Time limits of one connection, and the clock its event stream paces by;
// tests shorten or fake them.
struct ConnectionLimits {
  std::chrono::milliseconds read_timeout = REQUEST_READ_TIMEOUT;  // each receive of the request
  // The whole request head (request line and headers), and a body read
  // after it, from the handler's start, so a client cannot hold a thread by
  // trickling bytes.
  std::chrono::milliseconds head_budget{10000};
  // Each send; a client that stops reading ends its response or stream.
  std::chrono::milliseconds send_timeout{10000};
  LoopClock* stream_clock = &real_loop_clock();
};

// Serves one request on `stream` and closes it; never reports anything.
void handle_connection(platform::Socket stream, SharedState holder, const ConnectionLimits& limits = {},
                       const Caller& caller = {});

}  // namespace tavrik
