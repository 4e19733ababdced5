#include "state/live_state.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tavrik {

SharedState make_shared_state() { return std::make_shared<LiveStateHolder>(); }

std::uint64_t wall_clock_millis(WallClock::time_point now) {
  auto ms = std::chrono::floor<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

void mark_updated(LiveState& record, Instant now, WallClock::time_point wall_now) {
  record.last_update = now;
  record.t = wall_clock_millis(wall_now);
  ++record.update_count;
}

void mark_updated(LiveState& record) { mark_updated(record, MonotonicClock::now(), WallClock::now()); }

void record_track_point(LiveStateHolder& holder) {
  const LiveState& record = holder.record;
  const auto& lat = record.values[Value::LAT];
  const auto& lon = record.values[Value::LON];
  if (!record.last_update || !lat || !lon || !std::isfinite(*lat) || !std::isfinite(*lon)) return;
  const auto& alt = record.values[Value::ALT];
  double known_alt = alt && std::isfinite(*alt) ? *alt : std::nan("");
  record_point(holder.track, *record.last_update, {record.t, *lat, *lon, known_alt}, LIVE_WINDOW);
}

std::optional<OwnPosition> own_position(const LiveState& record) {
  const auto& lat = record.values[Value::LAT];
  const auto& lon = record.values[Value::LON];
  if (!lat || !lon || !std::isfinite(*lat) || !std::isfinite(*lon)) return std::nullopt;
  return OwnPosition{*lat, *lon};
}

bool is_live(const LiveState& record, Instant now) {
  if (!record.last_update) return false;
  auto elapsed = now > *record.last_update ? now - *record.last_update : Instant::duration::zero();
  if (elapsed >= LIVE_WINDOW) return false;
  if (!record.values[Value::LAT] || !record.values[Value::LON]) return false;
  return record.sim != SimKind::none;
}

void append_number(std::string& out, double value) {
  // Shortest round-trip digits come from to_chars in scientific form
  // ("-d.ddde+XX"); they are then laid out positionally, padded with zeros.
  char buffer[64];  // room for the longest form and a terminator
  char* end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  if (*p == '-') out += *p++;
  std::string digits;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  *end = '\0';
  int exponent = std::atoi(p + 1);  // value = d.ddd x 10^exponent
  int point = exponent + 1;         // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
}

std::string build_live_snapshot(const LiveState& record, Instant now) {
  if (!is_live(record, now)) return "{\"live\":false}";
  std::string json;
  json.reserve(256);
  json += record.sim == SimKind::xp ? "{\"live\":true,\"sim\":\"xp\",\"t\":" : "{\"live\":true,\"sim\":\"msfs\",\"t\":";
  json += std::to_string(record.t);
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) {
    const auto& value = record.values[i];
    if (!value || !std::isfinite(*value)) continue;
    json += ",\"";
    json += VALUE_NAMES[i];
    json += "\":";
    append_number(json, *value);
  }
  json += '}';
  return json;
}

std::string build_live_snapshot(const LiveState& record) { return build_live_snapshot(record, MonotonicClock::now()); }

}  // namespace tavrik
