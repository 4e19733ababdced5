#include "state/traffic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "state/live_state.h"

namespace tavrik {
namespace {

bool gone(const TrafficAircraft& aircraft, TrafficInstant now) {
  return now >= aircraft.last_seen && now - aircraft.last_seen >= TRAFFIC_GONE_AFTER;
}

// Squared distance on a local flat map, in degrees of latitude: enough to rank.
double distance_rank(const TrafficAircraft& aircraft, const OwnPosition& own) {
  double dlon = std::fabs(aircraft.lon - own.lon);
  if (dlon > 180) dlon = 360 - dlon;
  double east = dlon * std::cos(own.lat * 3.14159265358979323846 / 180);
  double north = aircraft.lat - own.lat;
  return east * east + north * north;
}

void append_value(std::string& json, const char* name, const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return;
  json += ",\"";
  json += name;
  json += "\":";
  append_number(json, *value);
}

// Printable ASCII only reaches here; of it, JSON wants these two escaped.
void append_text(std::string& json, const char* name, const std::string& text) {
  if (text.empty()) return;
  json += ",\"";
  json += name;
  json += "\":\"";
  for (char c : text) {
    if (c == '"' || c == '\\') json += '\\';
    json += c;
  }
  json += '"';
}

std::string key_text(const TrafficKey& key) {
  char text[24];
  if (key.source == TrafficSource::xp)
    std::snprintf(text, sizeof text, "xp-%06x", static_cast<unsigned>(key.id));
  else
    std::snprintf(text, sizeof text, "msfs-%u", static_cast<unsigned>(key.id));
  return text;
}

}  // namespace

void expire_traffic(Traffic& traffic, TrafficInstant now) {
  std::erase_if(traffic.aircraft, [&](const TrafficAircraft& aircraft) { return gone(aircraft, now); });
}

void report_traffic(Traffic& traffic, TrafficAircraft report, std::optional<OwnPosition> own) {
  if (!std::isfinite(report.lat) || !std::isfinite(report.lon)) return;
  expire_traffic(traffic, report.last_seen);
  auto& list = traffic.aircraft;
  auto at = std::lower_bound(list.begin(), list.end(), report.key,
                             [](const TrafficAircraft& held, const TrafficKey& key) { return held.key < key; });
  if (at != list.end() && at->key == report.key) {
    *at = std::move(report);
    return;
  }
  if (list.size() >= TRAFFIC_MAX) {
    if (!own) return;
    auto farthest = std::max_element(list.begin(), list.end(), [&](const auto& a, const auto& b) {
      return distance_rank(a, *own) < distance_rank(b, *own);
    });
    if (distance_rank(report, *own) >= distance_rank(*farthest, *own)) return;
    list.erase(farthest);
    at = std::lower_bound(list.begin(), list.end(), report.key,
                          [](const TrafficAircraft& held, const TrafficKey& key) { return held.key < key; });
  }
  list.insert(at, std::move(report));
}

std::vector<TrafficAircraft> copy_traffic(const Traffic& traffic, TrafficInstant now) {
  std::vector<TrafficAircraft> copy;
  copy.reserve(traffic.aircraft.size());
  for (const auto& aircraft : traffic.aircraft)
    if (!gone(aircraft, now)) copy.push_back(aircraft);
  return copy;
}

std::string traffic_json(const std::vector<TrafficAircraft>& aircraft) {
  std::string json = "{\"aircraft\":[";
  json.reserve(64 + aircraft.size() * 200);
  bool first = true;
  for (const auto& one : aircraft) {
    if (!std::isfinite(one.lat) || !std::isfinite(one.lon)) continue;
    if (!first) json += ',';
    first = false;
    json += "{\"id\":\"" + key_text(one.key) + "\",\"t\":" + std::to_string(one.t);
    append_value(json, "lat", one.lat);
    append_value(json, "lon", one.lon);
    append_value(json, "alt", one.alt);
    append_value(json, "hdg", one.hdg);
    append_value(json, "gs", one.gs);
    append_value(json, "vs", one.vs);
    if (one.on_ground) json += *one.on_ground ? ",\"ground\":true" : ",\"ground\":false";
    append_text(json, "callsign", one.callsign);
    append_text(json, "type", one.type);
    json += '}';
  }
  json += "]}";
  return json;
}

std::string printable_text(std::string_view raw, std::size_t max) {
  std::string text;
  for (char c : raw) {
    if (c == '\0') break;
    if (c >= 0x20 && c <= 0x7E) text += c;
  }
  auto begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  text = text.substr(begin, text.find_last_not_of(' ') - begin + 1);
  if (text.size() > max) text.resize(max);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace tavrik
