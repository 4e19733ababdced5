#include "xplane/xplane_feed.h"

// Placeholder until the feed lands.
void run_xplane_feed(platform::Ipv4Address, platform::Socket, SharedState) {}
