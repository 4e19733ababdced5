#include "server/plan_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "server/http_request.h"

namespace tavrik {
namespace {

constexpr std::size_t MAX_NUMBER_CHARACTERS = 64;

// Where reading stands, and the first reason for refusal.
struct Cursor {
  std::string_view text;
  std::size_t at = 0;
  std::string context;  // "waypoint 3: " while a waypoint is read
  std::string error;

  bool fail(const std::string& reason) {
    if (error.empty()) error = context + reason;
    return false;
  }
  bool bad_json(const std::string& what) { return fail("bad JSON at byte " + std::to_string(at) + ": " + what); }
  void skip_space() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
  }
  bool take(char c) {
    skip_space();
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
  }
  bool expect(char c) { return take(c) || bad_json(std::string("expected '") + c + "'"); }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool read_hex4(Cursor& c, char32_t& unit) {
  unit = 0;
  for (int i = 0; i < 4; ++i, ++c.at) {
    int digit = c.at < c.text.size() ? hex_value(c.text[c.at]) : -1;
    if (digit < 0) return c.bad_json("expected four hex digits after \\u");
    unit = unit * 16 + static_cast<char32_t>(digit);
  }
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The escape after a backslash; \uD83D\uDCE1 pairs make one code point.
bool read_escape(Cursor& c, std::string& out) {
  if (c.at >= c.text.size()) return c.bad_json("unterminated string");
  char e = c.text[c.at++];
  static constexpr std::string_view SIMPLE = "\"\\/bfnrt", MEANS = "\"\\/\b\f\n\r\t";
  if (std::size_t i = SIMPLE.find(e); i != std::string_view::npos) {
    out += MEANS[i];
    return true;
  }
  if (e != 'u') return c.bad_json("unknown escape");
  char32_t unit;
  if (!read_hex4(c, unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return c.bad_json("lone surrogate");
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    char32_t low;
    if (c.text.substr(c.at, 2) != "\\u") return c.bad_json("lone surrogate");
    c.at += 2;
    if (!read_hex4(c, low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return c.bad_json("lone surrogate");
    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, unit);
  return true;
}

// A JSON string, its escapes read; refused once it passes `most` bytes.
bool read_string(Cursor& c, std::string& out, std::size_t most, std::string_view what) {
  if (!c.take('"')) return c.bad_json("expected a string");
  for (;;) {
    if (c.at >= c.text.size()) return c.bad_json("unterminated string");
    char ch = c.text[c.at];
    if (static_cast<unsigned char>(ch) < 0x20) return c.bad_json("control character in a string");
    ++c.at;
    if (ch == '"') return true;
    if (ch != '\\') {
      out += ch;
    } else if (!read_escape(c, out)) {
      return false;
    }
    if (out.size() > most) return c.fail(std::string(what) + " longer than " + std::to_string(most) + " bytes");
  }
}

// No C0 or C1 control character and no DEL; in valid UTF-8 a C1 code point
// is the byte C2 followed by 80 to 9F.
bool is_printable_utf8(std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) return false;
  }
  return true;
}

bool read_name(Cursor& c, std::string& name) {
  if (!read_string(c, name, PLAN_MAX_NAME_BYTES, "name")) return false;
  if (name.empty()) return c.fail("empty name");
  if (!is_printable_utf8(name)) return c.fail("name is not printable UTF-8 text");
  return true;
}

bool is_digit(const Cursor& c) { return c.at < c.text.size() && c.text[c.at] >= '0' && c.text[c.at] <= '9'; }

bool read_digits(Cursor& c) {
  if (!is_digit(c)) return c.bad_json("expected a digit");
  while (is_digit(c)) ++c.at;
  return true;
}

// A JSON number, then finite and within [low, high].
bool read_number(Cursor& c, std::string_view field, double low, double high, double& value) {
  c.skip_space();
  std::size_t start = c.at;
  if (c.at < c.text.size() && c.text[c.at] == '-') ++c.at;
  if (c.at < c.text.size() && c.text[c.at] == '0') {
    ++c.at;
  } else if (!read_digits(c)) {
    return false;
  }
  if (c.at < c.text.size() && c.text[c.at] == '.' && (++c.at, !read_digits(c))) return false;
  if (c.at < c.text.size() && (c.text[c.at] == 'e' || c.text[c.at] == 'E')) {
    ++c.at;
    if (c.at < c.text.size() && (c.text[c.at] == '+' || c.text[c.at] == '-')) ++c.at;
    if (!read_digits(c)) return false;
  }
  // The grammar above leaves only text that strtod reads whole (the program
  // keeps the "C" locale); a page writes at most about 25 characters, and
  // longer ones are not worth strtod's time.
  if (c.at - start > MAX_NUMBER_CHARACTERS) return c.fail("\"" + std::string(field) + "\" too long a number");
  value = std::strtod(std::string(c.text.substr(start, c.at - start)).c_str(), nullptr);
  if (!std::isfinite(value) || value < low || value > high) {
    std::string range = std::to_string(static_cast<long>(low)) + " to " + std::to_string(static_cast<long>(high));
    return c.fail("\"" + std::string(field) + "\" beyond " + range);
  }
  return true;
}

// A field name for an error: the sender's own word, quoted, when it is a
// plain one; else `otherwise`.
std::string field_name(const std::string& key, const std::string& otherwise) {
  bool plain = !key.empty() && std::all_of(key.begin(), key.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
  });
  return plain ? "\"" + key + "\"" : otherwise;
}

// Reads {"key":value,...}, calling read_value(key) with the cursor at each value.
template <typename ReadValue>
bool read_object(Cursor& c, ReadValue read_value) {
  if (!c.expect('{')) return false;
  if (c.take('}')) return true;
  std::vector<std::string> seen;
  do {
    std::string key;
    if (!read_string(c, key, 16, "field name")) return false;
    if (std::find(seen.begin(), seen.end(), key) != seen.end())
      return c.fail(field_name(key, "a field") + " given twice");
    seen.push_back(key);
    if (!c.expect(':') || !read_value(key)) return false;
  } while (c.take(','));
  return c.expect('}');
}

bool read_waypoint(Cursor& c, PlanWaypoint& waypoint) {
  bool has_name = false, has_lat = false, has_lon = false;
  bool read = read_object(c, [&](const std::string& key) {
    if (key == "name") return has_name = read_name(c, waypoint.name);
    if (key == "lat") return has_lat = read_number(c, "lat", -90, 90, waypoint.lat);
    if (key == "lon") return has_lon = read_number(c, "lon", -180, 180, waypoint.lon);
    if (key == "alt") return read_number(c, "alt", PLAN_MIN_ALT, PLAN_MAX_ALT, waypoint.alt.emplace());
    return c.fail("unknown field " + field_name(key, "(not plain text)"));
  });
  if (!read) return false;
  if (!has_name) return c.fail("\"name\" missing");
  if (!has_lat || !has_lon) return c.fail(has_lat ? "\"lon\" missing" : "\"lat\" missing");
  return true;
}

bool read_waypoints(Cursor& c, std::vector<PlanWaypoint>& waypoints) {
  if (!c.expect('[')) return false;
  if (c.take(']')) return c.fail("no waypoints");
  do {
    if (waypoints.size() == PLAN_MAX_WAYPOINTS)
      return c.fail("more than " + std::to_string(PLAN_MAX_WAYPOINTS) + " waypoints");
    c.context = "waypoint " + std::to_string(waypoints.size() + 1) + ": ";
    if (!read_waypoint(c, waypoints.emplace_back())) return false;
    c.context.clear();
  } while (c.take(','));
  return c.expect(']');
}

}  // namespace

PlanRead read_plan(std::string_view body) {
  Cursor c;
  c.text = body;
  Plan plan;
  bool has_waypoints = false;
  bool read = read_object(c, [&](const std::string& key) {
    if (key == "name") return read_name(c, plan.name);
    if (key == "waypoints") return has_waypoints = read_waypoints(c, plan.waypoints);
    return c.fail("unknown field " + field_name(key, "(not plain text)"));
  });
  if (read && !has_waypoints) c.fail("\"waypoints\" missing");
  c.skip_space();
  if (read && c.error.empty() && c.at != body.size()) c.bad_json("more after the plan");
  if (!c.error.empty()) return {std::nullopt, c.error};
  return {std::move(plan), {}};
}

}  // namespace tavrik
