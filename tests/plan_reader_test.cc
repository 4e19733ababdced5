#include "server/plan_reader.h"

#include <gtest/gtest.h>

namespace tavrik {
namespace {

// A plan of one waypoint with `fields`; or of `count` waypoints.
std::string one(const std::string& fields) { return "{\"waypoints\":[{" + fields + "}]}"; }
std::string body_with(std::size_t count) {
  std::string body = "{\"waypoints\":[";
  for (std::size_t i = 0; i < count; ++i) body += "{\"name\":\"W\",\"lat\":1.5,\"lon\":-2},";
  return body.substr(0, body.size() - 1) + "]}";
}

TEST(PlanReaderTest, ReadsThePlanAndWritesBackOnlyWhatItChecked) {
  // Escapes of every kind, white space between tokens, keys in any order.
  PlanRead read = read_plan(
      " {\"waypoints\" : [{\"lat\":47.449,\"name\":\"KSEA\",\"lon\":-122.309,\"alt\":130},\n"
      "{\"name\":\"Z\\u00fcrich \\\"K\\/1\\\" \\\\ \\ud83d\\udce1\",\"lat\":-90,\"lon\":180,\"alt\":-1e3},"
      "{\"name\":\"N\",\"lat\":-0.0,\"lon\":0.1E-2}],\"name\":\"KSEA to LSZH\"}\r\n");
  ASSERT_EQ(read.error, "");
  const std::string json = plan_json(*read.plan);
  EXPECT_EQ(json,
            "{\"name\":\"KSEA to LSZH\",\"waypoints\":[{\"name\":\"KSEA\",\"lat\":47.449,\"lon\":-122.309,\"alt\":130},"
            "{\"name\":\"Z\xC3\xBCrich \\\"K/1\\\" \\\\ \xF0\x9F\x93\xA1\",\"lat\":-90,\"lon\":180,\"alt\":-1000},"
            "{\"name\":\"N\",\"lat\":-0,\"lon\":0.001}]}");
  EXPECT_EQ(read_plan(json).plan, read.plan);
  EXPECT_EQ(plan_json({}), "{\"waypoints\":[]}");
  EXPECT_EQ(read_plan(body_with(PLAN_MAX_WAYPOINTS)).plan->waypoints.size(), PLAN_MAX_WAYPOINTS);
}

TEST(PlanReaderTest, RefusesAnythingElseWithItsReason) {
  const std::string at = "\"lat\":1,\"lon\":2", name65(65, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {body_with(PLAN_MAX_WAYPOINTS + 1), "more than 1000 waypoints"},
      {"{\"waypoints\":[]}", "no waypoints"},
      {"{\"name\":\"x\"}", "\"waypoints\" missing"},
      {one(at), "waypoint 1: \"name\" missing"},
      // Names: empty, too long, control characters (C0, DEL, C1), not UTF-8, a lone surrogate.
      {one("\"name\":\"\"," + at), "waypoint 1: empty name"},
      {one("\"name\":\"" + name65 + "\"," + at), "waypoint 1: name longer than 64 bytes"},
      {"{\"name\":\"a\\tb\",\"waypoints\":[]}", "name is not printable UTF-8 text"},
      {one("\"name\":\"a\x7F\"," + at), "waypoint 1: name is not printable UTF-8 text"},
      {one("\"name\":\"\\u0085\"," + at), "waypoint 1: name is not printable UTF-8 text"},
      {one("\"name\":\"\xC3(\"," + at), "waypoint 1: name is not printable UTF-8 text"},
      {one("\"name\":\"a\x01\"," + at), "waypoint 1: bad JSON at byte 24: control character in a string"},
      {one("\"name\":\"\\ud83d\"," + at), "waypoint 1: bad JSON at byte 29: lone surrogate"},
      // Numbers: out of range, not finite, not JSON.
      {one("\"name\":\"A\",\"lat\":90.000001,\"lon\":2"), "waypoint 1: \"lat\" beyond -90 to 90"},
      {one("\"name\":\"A\",\"lat\":1,\"lon\":-1e999"), "waypoint 1: \"lon\" beyond -180 to 180"},
      {one("\"name\":\"A\"," + at + ",\"alt\":30001"), "waypoint 1: \"alt\" beyond -1000 to 30000"},
      {one("\"name\":\"A\",\"lat\":1." + std::string(63, '0') + ",\"lon\":2"), "waypoint 1: \"lat\" too long a number"},
      {one("\"name\":\"A\",\"lat\":NaN,\"lon\":2"), "waypoint 1: bad JSON at byte 32: expected a digit"},
      {one("\"name\":\"A\",\"lat\":01,\"lon\":2"), "waypoint 1: bad JSON at byte 33: expected '}'"},
      {one("\"name\":\"A\",\"lat\":1.,\"lon\":2"), "waypoint 1: bad JSON at byte 34: expected a digit"},
      // Fields unknown or twice; JSON that is broken or has more after it.
      {one("\"name\":\"A\"," + at + ",\"type\":1"), "waypoint 1: unknown field \"type\""},
      {"{\"w\\u00e4\":1}", "unknown field (not plain text)"},
      {one("\"name\":\"A\",\"name\":\"B\"," + at), "waypoint 1: \"name\" given twice"},
      {"{\"waypoints\":[{\"name\":\"A\"," + at + "}]", "bad JSON at byte 43: expected '}'"},
      {body_with(1) + "x", "bad JSON at byte 47: more after the plan"},
      {"[]", "bad JSON at byte 0: expected '{'"},
  };
  for (const auto& [body, error] : cases) EXPECT_EQ(read_plan(body).error, error) << body;
}

}  // namespace
}  // namespace tavrik
