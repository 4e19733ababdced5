// Reading the route the map page sends the bridge: a strict reader of one
// small JSON form, pure code over the body's bytes. Anything else is refused
// with a reason, and nothing of a refused body is kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/plan.h"

namespace tavrik {

// The plan, or the reason it was refused (one line of ASCII text).
struct PlanRead {
  std::optional<Plan> plan;
  std::string error;
};

// Reads {"name":"…","waypoints":[{"name":"…","lat":L,"lon":L,"alt":A},…]},
// JSON with nothing else in it: "name" of the route optional, "alt" optional
// (metres), each key at most once, 1 to PLAN_MAX_WAYPOINTS waypoints. A name
// is 1 to PLAN_MAX_NAME_BYTES bytes of valid UTF-8 without control characters
// once its escapes are read; lat, lon and alt are finite and within the
// bounds of state/plan.h. What plan_json writes reads back to the same plan.
PlanRead read_plan(std::string_view body);

}  // namespace tavrik
