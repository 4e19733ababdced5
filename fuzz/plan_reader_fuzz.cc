// The plan the map page sends: for any bytes, the reader either refuses them
// with a reason or gives a plan within its bounds, whose JSON reads back to
// the very same plan; that JSON is valid UTF-8 with no control character.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http_request.h"
#include "server/plan_reader.h"

namespace tavrik {

namespace {

bool within_bounds(const Plan& plan) {
  if (plan.waypoints.empty() || plan.waypoints.size() > PLAN_MAX_WAYPOINTS) return false;
  if (plan.name.size() > PLAN_MAX_NAME_BYTES) return false;
  for (const PlanWaypoint& w : plan.waypoints) {
    if (w.name.empty() || w.name.size() > PLAN_MAX_NAME_BYTES) return false;
    if (!(std::abs(w.lat) <= 90) || !(std::abs(w.lon) <= 180)) return false;
    if (w.alt && !(*w.alt >= PLAN_MIN_ALT && *w.alt <= PLAN_MAX_ALT)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PlanRead read = read_plan(std::string_view(reinterpret_cast<const char*>(data), size));
  if (read.plan.has_value() == !read.error.empty()) std::abort();
  if (!read.plan) return 0;
  if (!within_bounds(*read.plan)) std::abort();
  std::string json = plan_json(*read.plan);
  if (!is_valid_utf8(json)) std::abort();
  for (char c : json)
    if (static_cast<unsigned char>(c) < 0x20) std::abort();
  PlanRead again = read_plan(json);
  if (!again.plan || !(*again.plan == *read.plan)) std::abort();
  return 0;
}

}  // namespace tavrik
