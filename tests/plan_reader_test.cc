#include "server/plan_reader.h"

#include <gtest/gtest.h>

namespace tavrik {

namespace {

// `count` waypoints "W1", "W2", ... as the page would send them.
std::string body_with(std::size_t count) {
  std::string body = "{\"waypoints\":[";
  for (std::size_t i = 1; i <= count; ++i)
    body += (i > 1 ? "," : "") + std::string("{\"name\":\"W") + std::to_string(i) + "\",\"lat\":1.5,\"lon\":-2}";
  return body + "]}";
}

TEST(PlanReaderTest, ReadsThePlanAndWritesBackOnlyWhatItChecked) {
  // Escapes of every kind, white space between tokens, keys in any order.
  std::string body =
      " {\"waypoints\" : [{\"lat\":47.449,\"name\":\"KSEA\",\"lon\":-122.309,\"alt\":130},\n"
      "{\"name\":\"Z\\u00fcrich \\\"K\\/1\\\" \\\\ \\ud83d\\udce1\",\"lat\":-90,\"lon\":180,\"alt\":-1e3},"
      "{\"name\":\"N\",\"lat\":-0.0,\"lon\":0.1E-2}],\"name\":\"KSEA to LSZH\"}\r\n";
  PlanRead read = read_plan(body);
  ASSERT_EQ(read.error, "");
  Plan expected{"KSEA to LSZH",
                {{"KSEA", 47.449, -122.309, 130},
                 {"Z\xC3\xBCrich \"K/1\" \\ \xF0\x9F\x93\xA1", -90, 180, -1000},
                 {"N", -0.0, 0.001, std::nullopt}}};
  EXPECT_EQ(*read.plan, expected);
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
  const std::string name64(64, 'x');
  struct Case {
    std::string body;
    std::string error;
  } cases[] = {
      {body_with(PLAN_MAX_WAYPOINTS + 1), "more than 1000 waypoints"},
      {"{\"waypoints\":[]}", "no waypoints"},
      {"{\"name\":\"x\"}", "\"waypoints\" missing"},
      {"{\"waypoints\":[{\"lat\":1,\"lon\":2}]}", "waypoint 1: \"name\" missing"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lon\":2}]}", "waypoint 1: \"lat\" missing"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":2}]}", "waypoint 1: \"lon\" missing"},
      // Names: empty, too long, control characters (C0, DEL, C1, escaped or
      // not), bytes that are not UTF-8, a lone surrogate.
      {"{\"waypoints\":[{\"name\":\"\",\"lat\":1,\"lon\":2}]}", "waypoint 1: empty name"},
      {"{\"waypoints\":[{\"name\":\"" + name64 + "x\",\"lat\":1,\"lon\":2}]}", "waypoint 1: name longer than 64 bytes"},
      {"{\"name\":\"a\\tb\",\"waypoints\":[]}", "name is not printable UTF-8 text"},
      {"{\"waypoints\":[{\"name\":\"a\x7F\",\"lat\":1,\"lon\":2}]}", "waypoint 1: name is not printable UTF-8 text"},
      {"{\"waypoints\":[{\"name\":\"\\u0085\",\"lat\":1,\"lon\":2}]}", "waypoint 1: name is not printable UTF-8 text"},
      {"{\"waypoints\":[{\"name\":\"\xC3(\",\"lat\":1,\"lon\":2}]}", "waypoint 1: name is not printable UTF-8 text"},
      {"{\"waypoints\":[{\"name\":\"a\x01\",\"lat\":1,\"lon\":2}]}",
       "waypoint 1: bad JSON at byte 24: control character in a string"},
      {"{\"waypoints\":[{\"name\":\"\\ud83d\",\"lat\":1,\"lon\":2}]}",
       "waypoint 1: bad JSON at byte 29: lone surrogate"},
      // Numbers: out of range, not finite, not JSON.
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":90.000001,\"lon\":2}]}", "waypoint 1: \"lat\" beyond -90 to 90"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1,\"lon\":-180.5}]}", "waypoint 1: \"lon\" beyond -180 to 180"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1e999,\"lon\":2}]}", "waypoint 1: \"lat\" beyond -90 to 90"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1,\"lon\":2,\"alt\":30001}]}",
       "waypoint 1: \"alt\" beyond -1000 to 30000"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":NaN,\"lon\":2}]}", "waypoint 1: bad JSON at byte 32: expected a digit"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":\"1\",\"lon\":2}]}",
       "waypoint 1: bad JSON at byte 32: expected a digit"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":01,\"lon\":2}]}", "waypoint 1: bad JSON at byte 33: expected '}'"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1.,\"lon\":2}]}", "waypoint 1: bad JSON at byte 34: expected a digit"},
      // Fields: unknown, twice, null; and JSON that is broken or has more after it.
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1,\"lon\":2,\"type\":1}]}", "waypoint 1: unknown field \"type\""},
      {"{\"w\\u00e4\":1}", "unknown field (not plain text)"},
      {"{\"waypoints\":[{\"name\":\"A\",\"name\":\"B\",\"lat\":1,\"lon\":2}]}", "waypoint 1: \"name\" given twice"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1,\"lon\":2,\"alt\":null}]}",
       "waypoint 1: bad JSON at byte 48: expected a digit"},
      {"{\"waypoints\":[{\"name\":\"A\",\"lat\":1,\"lon\":2}]", "bad JSON at byte 43: expected '}'"},
      {body_with(1) + "x", "bad JSON at byte 48: more after the plan"},
      {"[]", "bad JSON at byte 0: expected '{'"},
      {"", "bad JSON at byte 0: expected '{'"},
  };
  for (const Case& c : cases) {
    PlanRead read = read_plan(c.body);
    EXPECT_FALSE(read.plan) << c.body;
    EXPECT_EQ(read.error, c.error) << c.body;
  }
}

}  // namespace

}  // namespace tavrik
