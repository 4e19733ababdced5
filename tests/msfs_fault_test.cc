// The MSFS feed against a SimConnect that fails: every call failing in turn,
// messages of garbage sizes and lying size fields. The double allocates each
// message at exactly its size, so a sanitizer build proves that the feed never
// reads outside one.
#include <gtest/gtest.h>

#include "msfs/msfs_feed.h"
#include "support/msfs_samples.h"
#include "support/simconnect_double.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const FeedTiming QUICK{10ms, 5ms, 200ms};
const std::string VALUES = script_values(FLIGHT) + "\n";
constexpr std::uint32_t FULL = OBJECT_DATA_MIN_SIZE;  // a whole sample, by the variable table
constexpr int VARIABLES = static_cast<int>(MSFS_VARIABLE_COUNT);

TEST(MsfsFaultTest, EveryCallFailingInTurnEndsOneSessionAndTheNextStartsAfresh) {
  TempFolder folder("every-call");
  std::string script = "open_fail 2\nopen_null 2\n";
  for (int k = 1; k <= VARIABLES; ++k) script += "connection\nadd_fail " + std::to_string(k) + "\n";
  script += "connection\nrequest_fail\n";
  script += "connection\nnone 5\nnull 5\n";  // dispatch failing, then nothing: silence
  script += "connection\nquit\n";
  script += "connection\nsample" + VALUES + "quit\n";
  DoubleSession session(folder, script);
  LiveStateHolder holder;
  SimConnectApi api = load_double();

  std::vector<SessionEnd> ends;
  for (int i = 0; i < 4 + VARIABLES + 1 + 1 + 1 + 1; ++i) ends.push_back(run_session(api, holder, QUICK));
  std::vector<SessionEnd> expected(4, SessionEnd::open_failed);
  expected.insert(expected.end(), VARIABLES + 1, SessionEnd::setup_failed);
  expected.insert(expected.end(), {SessionEnd::silence, SessionEnd::quit, SessionEnd::quit});
  EXPECT_EQ(ends, expected);
  EXPECT_EQ(holder.record.update_count, 1u);  // only the last connection's sample

  // Every connection that opened was closed once, and none other.
  std::string calls = session.calls();
  std::vector<std::string> closes;
  for (int handle = 1; handle <= VARIABLES + 4; ++handle) closes.push_back("Close handle=" + std::to_string(handle));
  EXPECT_EQ(lines_starting(calls, "Close"), closes);
  for (int k = 1; k <= VARIABLES; ++k)  // registration stops at the failing call
    EXPECT_EQ(lines_starting(calls, "AddToDataDefinition handle=" + std::to_string(k) + " ").size(),
              static_cast<std::size_t>(k));
  EXPECT_TRUE(lines_starting(calls, "GetNextDispatch").empty());  // never with a closed handle
}

TEST(MsfsFaultTest, GarbageSizesAreReadWithinTheMessage) {
  struct Case {
    std::uint32_t size, id, request, claim;
    bool sample;
  };
  const Case cases[] = {
      {0, 8, 1, 0, false},       {1, 8, 1, 0, false},        {4, 8, 1, 0, false},
      {11, 8, 1, 0, false},      {12, 8, 1, 0, false},       {13, 8, 1, 0, false},
      {16, 8, 1, 0, false},      {39, 8, 1, 0, false},       {40, 8, 1, 0, false},
      {41, 8, 1, 0, false},      {FULL - 1, 8, 1, 0, false}, {FULL - 1, 8, 1, FULL, false},
      {FULL, 8, 2, 0, false},    {FULL, 7, 1, 0, false},     {FULL, 0xFFFFFFFF, 1, 0, false},
      {FULL, 8, 1, 0, true},     {FULL, 8, 1, 12, true},     {FULL, 8, 1, 0xFFFFFFFF, true},
      {FULL + 1, 8, 1, 0, true}, {4096, 8, 1, 0, true},      {65536, 8, 1, 1, true},
      {11, 3, 0, 0, false},
  };
  std::string script = "connection\n";
  std::uint64_t samples = 0;
  for (const Case& c : cases) {
    if (c.claim) script += "claim " + std::to_string(c.claim) + "\n";
    script +=
        "message " + std::to_string(c.size) + " " + std::to_string(c.id) + " " + std::to_string(c.request) + VALUES;
    samples += c.sample;
  }
  TempFolder folder("garbage");
  DoubleSession session(folder, script + "quit\n");
  LiveStateHolder holder;
  EXPECT_EQ(run_session(load_double(), holder, QUICK), SessionEnd::quit);
  EXPECT_EQ(holder.record.update_count, samples);
  EXPECT_EQ(lines_starting(session.calls(), "Dispatch").size(), std::size(cases) + 1);
}

}  // namespace

}  // namespace tavrik
