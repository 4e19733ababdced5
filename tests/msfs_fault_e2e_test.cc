// The built bridge with a SimConnect that quits, fails its calls and sends
// garbage: the feed reconnects after each and serves the data that follows.
#include <gtest/gtest.h>

#include <thread>

#include "msfs/msfs_feed.h"
#include "support/msfs_samples.h"
#include "support/simconnect_double.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

TEST(MsfsFaultE2eTest, ReconnectsThroughFailuresAndGarbage) {
  TempFolder sdk("fault-sdk"), logs("fault-logs");
  CleanSdkEnvironment clean;
  set_env("MSFS_SDK", install_sdk(sdk, simconnect_double_path()));
  // Six sessions, the reconnection delay (3 s) apart: a failed open, a null
  // handle, garbage then a quit, a failed registration, a failed request,
  // and at last a working connection.
  DoubleSession session(logs,
                        "open_fail 1\nopen_null 1\n"
                        "connection\n"
                        "message 0 8 1\nmessage 11 8 1\nmessage 39 8 1 47 8\nmessage " +
                            std::to_string(OBJECT_DATA_MIN_SIZE - 1) +
                            " 8 1 47 8\n"
                            "claim 4294967295\nmessage 12 8 1\nmessage full 8 9 47 8\nnull 3\nnone 3\nquit\n"
                            "connection\nadd_fail 4\n"
                            "connection\nrequest_fail\n"
                            "connection\n" +
                            stream_line(2, FLIGHT));

  RunningBridge bridge = start_bridge({"--msfs"});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  ASSERT_TRUE(bridge.process->wait_for_out("✓ receiving data from MSFS\n", 30s))
      << bridge.process->out() << bridge.process->err();
  std::string state = http_exchange(bridge.port, "GET /state HTTP/1.1\r\n\r\n");
  EXPECT_NE(state.find("\"sim\":\"msfs\",\"t\":"), std::string::npos) << state;
  EXPECT_NE(state.find("," + FLIGHT.json + "}"), std::string::npos) << state;

  std::string calls = session.calls();
  EXPECT_EQ(lines_starting(calls, "Open").size(), 6u);
  EXPECT_EQ(lines_starting(calls, "Close"),
            (std::vector<std::string>{"Close handle=1", "Close handle=2", "Close handle=3"}));
  EXPECT_EQ(lines_starting(calls, "Dispatch handle=1").size(), 7u);
  EXPECT_EQ(bridge.process->wait(0ms), std::nullopt);  // still running
}

}  // namespace

}  // namespace tavrik
