#include "state/plan.h"

#include "state/live_state.h"

namespace tavrik {
namespace {

void append_name(std::string& out, const std::string& name) {
  out += '"';
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string plan_json(const Plan& plan) {
  std::string out = "{";
  if (!plan.name.empty()) {
    out += "\"name\":";
    append_name(out, plan.name);
    out += ',';
  }
  out += "\"waypoints\":[";
  for (std::size_t i = 0; i < plan.waypoints.size(); ++i) {
    const PlanWaypoint& waypoint = plan.waypoints[i];
    out += i ? ",{\"name\":" : "{\"name\":";
    append_name(out, waypoint.name);
    out += ",\"lat\":";
    append_number(out, waypoint.lat);
    out += ",\"lon\":";
    append_number(out, waypoint.lon);
    if (waypoint.alt) {
      out += ",\"alt\":";
      append_number(out, *waypoint.alt);
    }
    out += '}';
  }
  out += "]}";
  return out;
}

}  // namespace tavrik
