#include "msfs/msfs_feed.h"

// Placeholder until the feed lands.
void run_msfs_feed(SharedState) {}
