// One client connection of the local HTTP server, from first byte to close.
#pragma once

#include "platform/platform.h"
#include "state/live_state.h"

// Serves one request on `stream` and closes it; never reports anything.
void handle_connection(platform::Socket stream, SharedState state);
