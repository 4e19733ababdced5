// The X-Plane feed: dataref subscriptions over UDP, replies into LiveState.
#pragma once

#include "platform/platform.h"
#include "state/live_state.h"

// Thread body; owns `socket` (bound, no options set). Never returns.
void run_xplane_feed(platform::Ipv4Address target, platform::Socket socket, SharedState state);
