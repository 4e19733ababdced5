#include "state/live_state.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

const std::array<const char*, VALUE_COUNT> VALUE_NAMES = {"lat", "lon", "alt", "hdg", "gs", "ias", "vs", "agl"};

SharedState make_shared_state() { return std::make_shared<LiveStateHolder>(); }

std::uint64_t wall_clock_millis(WallClock::time_point now) {
  auto ms = std::chrono::floor<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

void mark_updated(LiveState& state, Instant now, WallClock::time_point wall_now) {
  state.last_update = now;
  state.t = wall_clock_millis(wall_now);
  ++state.update_count;
}

void mark_updated(LiveState& state) { mark_updated(state, MonotonicClock::now(), WallClock::now()); }

bool is_live(const LiveState& state, Instant now) {
  if (!state.last_update) return false;
  auto elapsed = now > *state.last_update ? now - *state.last_update : Instant::duration::zero();
  if (elapsed >= LIVE_WINDOW) return false;
  if (!state.values[LAT] || !state.values[LON]) return false;
  return state.sim != SimKind::none;
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

std::string build_live_snapshot(const LiveState& state, Instant now) {
  if (!is_live(state, now)) return "{\"live\":false}";
  std::string json;
  json.reserve(256);
  json += state.sim == SimKind::xp ? "{\"live\":true,\"sim\":\"xp\",\"t\":" : "{\"live\":true,\"sim\":\"msfs\",\"t\":";
  json += std::to_string(state.t);
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) {
    const auto& value = state.values[i];
    if (!value || !std::isfinite(*value)) continue;
    json += ",\"";
    json += VALUE_NAMES[i];
    json += "\":";
    append_number(json, *value);
  }
  json += '}';
  return json;
}

std::string build_live_snapshot(const LiveState& state) { return build_live_snapshot(state, MonotonicClock::now()); }
