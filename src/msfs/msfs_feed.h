// The MSFS feed: SimConnect, found on disk and loaded at run time.
#pragma once

#include "state/live_state.h"

// Thread body. Returns only when no usable SimConnect library was found.
void run_msfs_feed(SharedState state);
