// For any bytes, the plan reader refuses them with a reason or gives a plan within its bounds
// whose JSON, valid UTF-8 without a control character, reads back to the very same plan.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "server/http_request.h"
#include "server/plan_reader.h"

namespace tavrik {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PlanRead read = read_plan(std::string_view(reinterpret_cast<const char*>(data), size));
  if (read.plan.has_value() == !read.error.empty()) std::abort();
  if (!read.plan) return 0;
  auto out_of_bounds = [](const PlanWaypoint& w) {
    return w.name.empty() || w.name.size() > PLAN_MAX_NAME_BYTES || !(std::abs(w.lat) <= 90) ||
           !(std::abs(w.lon) <= 180) || (w.alt && !(*w.alt >= PLAN_MIN_ALT && *w.alt <= PLAN_MAX_ALT));
  };
  const auto& waypoints = read.plan->waypoints;
  if (waypoints.empty() || waypoints.size() > PLAN_MAX_WAYPOINTS || read.plan->name.size() > PLAN_MAX_NAME_BYTES ||
      std::any_of(waypoints.begin(), waypoints.end(), out_of_bounds))
    std::abort();
  std::string json = plan_json(*read.plan);
  if (!is_valid_utf8(json) || std::any_of(json.begin(), json.end(), [](char c) { return c >= 0 && c < 0x20; }))
    std::abort();
  if (read_plan(json).plan != read.plan) std::abort();
  return 0;
}

}  // namespace tavrik
