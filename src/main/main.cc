// tavrik: carries the aircraft's live state from X-Plane or MSFS to a web map.
#include "main/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) { return tavrik::run_bridge(tavrik::platform::process_arguments(argc, argv)); }
