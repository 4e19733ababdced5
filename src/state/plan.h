// The route the user flies by, kept by the bridge in memory so that every
// screen shows the same one: the checked record and the JSON written from it.
// The bridge hands out only this JSON, never the bytes it was given.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

// Bounds on what a plan may hold; the reader (server/plan_reader.h) refuses
// anything beyond them.
constexpr std::size_t PLAN_MAX_WAYPOINTS = 1000;
constexpr std::size_t PLAN_MAX_NAME_BYTES = 64;
constexpr double PLAN_MIN_ALT = -1000;  // metres: below the lowest land
constexpr double PLAN_MAX_ALT = 30000;  // metres: above any aircraft's ceiling

struct PlanWaypoint {
  std::string name;           // 1 to PLAN_MAX_NAME_BYTES bytes of UTF-8, no control character
  double lat = 0;             // degrees, -90 to 90
  double lon = 0;             // degrees, -180 to 180
  std::optional<double> alt;  // metres MSL, PLAN_MIN_ALT to PLAN_MAX_ALT
  bool operator==(const PlanWaypoint&) const = default;
};

struct Plan {
  std::string name;                     // empty when the route has none; else as a waypoint's name
  std::vector<PlanWaypoint> waypoints;  // 1 to PLAN_MAX_WAYPOINTS, in flying order
  bool operator==(const Plan&) const = default;
};

// {"name":"…","waypoints":[{"name":"…","lat":L,"lon":L,"alt":A},…]}: "name"
// left out when empty, "alt" when absent; numbers in the snapshot's form.
// An empty plan (none set) is {"waypoints":[]}. The names hold no control
// character, so only '"' and '\' are escaped.
std::string plan_json(const Plan& plan);

}  // namespace tavrik
