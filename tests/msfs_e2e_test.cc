// The built bridge with the SimConnect double: where it finds the library,
// what it tells the library, and what it makes of the data.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>

#include "platform/platform.h"
#include "support/fake_xplane.h"
#include "support/msfs_samples.h"
#include "support/simconnect_double.h"
#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string NOT_FOUND =
    "… MSFS: SimConnect.dll not found — put it next to this .exe (from the MSFS SDK: SimConnect SDK\\lib)\n";
// SimConnect runs its own code on the feed's thread: 1 MiB of stack there must
// not crash the bridge.
const std::string STREAMING = "stack 1024\nconnection\n" + stream_line(2, FLIGHT);

// A copy of the bridge in `folder`, so that the folder is "next to the executable".
std::string copy_bridge(const TempFolder& folder) {
  fs::path target = folder / fs::path(bridge_path()).filename().string();
  fs::copy_file(bridge_path(), target);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target.string();
}

std::unique_ptr<ChildProcess> start_msfs_bridge(const std::string& program, const ChildOptions& options = {}) {
  return start_child(program, {"--msfs", "--port", "0"}, options);
}

TEST(MsfsE2eTest, LibraryNextToExecutableFeedsTheState) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), logs("logs");
  std::string program = copy_bridge(bin);
  fs::copy_file(simconnect_double_path(), bin / "SimConnect.dll");
  DoubleSession session(logs, STREAMING);

  RunningBridge bridge;
  bridge.process = start_msfs_bridge(program);
  const std::string found =
      "→ MSFS: SimConnect from " + bin.str() + (built_for_windows() ? "\\" : "/") + "SimConnect.dll" + "\n";
  ASSERT_TRUE(bridge.process->wait_for_out(found, 20s)) << bridge.process->out() << bridge.process->err();
  ASSERT_TRUE(bridge.process->wait_for_out("✓ receiving data from MSFS\n", 20s)) << bridge.process->out();

  std::string calls = session.calls();
  EXPECT_EQ(lines_starting(calls, "Open"), std::vector<std::string>{expected_open(1)});
  EXPECT_EQ(lines_starting(calls, "AddToDataDefinition"), expected_registrations(1));
  EXPECT_EQ(lines_starting(calls, "RequestDataOnSimObject"), std::vector<std::string>{expected_request(1)});
  EXPECT_EQ(bridge.process->out().find("not found"), std::string::npos);

  bridge.port = ready_port(bridge.process->out());
  ASSERT_NE(bridge.port, 0);
  std::string response = http_exchange(bridge.port, "GET /state HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_FALSE(response.empty()) << "no answer to /state";
  EXPECT_NE(response.find("\"sim\":\"msfs\""), std::string::npos) << response;
  EXPECT_NE(response.find("," + FLIGHT.json + "}"), std::string::npos) << response;
}

TEST(MsfsE2eTest, SkipsDirectoryAndIncompleteLibrary) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), incomplete("incomplete"), complete("complete"), logs("logs");
  std::string program = copy_bridge(bin);
  fs::create_directory(bin / "SimConnect.dll");  // a directory of that name beside the .exe
  set_env("MSFS_SDK", install_sdk(incomplete, simconnect_double_no_dispatch_path()));
  set_env("MSFS2024_SDK", install_sdk(complete, simconnect_double_path()));
  DoubleSession session(logs, STREAMING);

  auto child = start_msfs_bridge(program);
  const std::string found = "→ MSFS: SimConnect from " + sdk_library_path(complete.str()) + "\n";
  ASSERT_TRUE(child->wait_for_out(found, 20s)) << child->out() << child->err();
  ASSERT_TRUE(child->wait_for_out("✓ receiving data from MSFS\n", 20s)) << child->out();
  EXPECT_EQ(lines_starting(session.calls(), "Open"), std::vector<std::string>{expected_open(1)});
}

TEST(MsfsE2eTest, EmptySdkVariableIsTakenAgainstTheWorkingDirectory) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), work("work"), logs("logs");
  // The same relative path under the executable's folder must not be taken instead.
  std::string program = copy_bridge(bin);
  install_sdk(bin, simconnect_double_no_dispatch_path());
  install_sdk(work, simconnect_double_path());
  set_env("MSFS_SDK", "");
  DoubleSession session(logs, STREAMING);
  ChildOptions options;
  options.working_directory = work.str();

  auto child = start_msfs_bridge(program, options);
  const std::string found = "→ MSFS: SimConnect from " + sdk_library_path("") + "\n";
  ASSERT_TRUE(child->wait_for_out(found, 20s)) << child->out() << child->err();
  ASSERT_TRUE(child->wait_for_out("✓ receiving data from MSFS\n", 20s)) << child->out();
}

TEST(MsfsE2eTest, NoLibraryPrintsNotFoundAndServesOn) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin");
  std::string program = copy_bridge(bin);
  RunningBridge bridge;
  bridge.process = start_msfs_bridge(program);
  ASSERT_TRUE(bridge.process->wait_for_out(NOT_FOUND, 20s)) << bridge.process->out() << bridge.process->err();
  ASSERT_TRUE(bridge.process->wait_for_out("… waiting for MSFS (is a flight loaded?)\n", 20s));
  std::string out = bridge.process->out();
  EXPECT_EQ(out.find(NOT_FOUND), out.rfind(NOT_FOUND));  // once
  EXPECT_EQ(out.find("→ MSFS"), std::string::npos);
  EXPECT_EQ(bridge.process->wait(200ms), std::nullopt);  // still serving
}

TEST(MsfsE2eTest, ReconnectsAfterQuitWithFreshRegistrations) {
  CleanSdkEnvironment clean;
  TempFolder sdk("sdk"), logs("logs");
  set_env("MSFS_SDK", install_sdk(sdk, simconnect_double_path()));
  DoubleSession session(logs, "connection\n" + sample_line(FLIGHT) + "quit\n" + STREAMING);

  auto child = start_msfs_bridge(bridge_path());
  ASSERT_TRUE(child->wait_for_out("✓ receiving data from MSFS\n", 20s)) << child->out() << child->err();
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (lines_starting(session.calls(), "RequestDataOnSimObject").size() < 2 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);

  std::string calls = session.calls();
  EXPECT_EQ(lines_starting(calls, "Open"), (std::vector<std::string>{expected_open(1), expected_open(2)}));
  std::vector<std::string> registrations = expected_registrations(1);
  for (auto& line : expected_registrations(2)) registrations.push_back(line);
  EXPECT_EQ(lines_starting(calls, "AddToDataDefinition"), registrations);
  EXPECT_EQ(lines_starting(calls, "RequestDataOnSimObject"),
            (std::vector<std::string>{expected_request(1), expected_request(2)}));
  EXPECT_EQ(lines_starting(calls, "Close"), std::vector<std::string>{"Close handle=1"});
  // The close comes before the second open.
  EXPECT_LT(calls.find("Close handle=1"), calls.find(expected_open(2)));
}

// No simulator option: both feeds run and write the one record. Whoever wrote
// last decides the snapshot, with none of the other's values under its name,
// and the console names each simulator as it takes over, never waiting
// between them.
TEST(MsfsE2eTest, BothFeedsAtOnceTheLastWriterShows) {
  CleanSdkEnvironment clean;
  TempFolder sdk("both-sdk"), logs("both-logs");
  set_env("MSFS_SDK", install_sdk(sdk, simconnect_double_path()));
  std::string script = "connection\n";
  for (int i = 0; i < 30; ++i) script += sample_line(FLIGHT) + "none 4\n";  // about 6 s
  DoubleSession session(logs, script);
  FakeXplane xplane;
  RunningBridge bridge = start_bridge({xplane.ip});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  auto pass = xplane.first_pass();
  ASSERT_EQ(pass.size(), VALUE_COUNT);
  const platform::Ipv4Address to = pass[0].from;
  ASSERT_TRUE(bridge.process->wait_for_out("✓ receiving data from MSFS\n", 20s)) << bridge.process->out();

  // X-Plane joins while MSFS still sends, and goes on after MSFS has stopped.
  const std::string xp_form = R"({"live":true,"sim":"xp","lat":10.5,"lon":20.25,"hdg":90})";
  const std::string msfs_form = expected_snapshot(FLIGHT);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    for (; sending; std::this_thread::sleep_for(250ms)) xplane.reply(to, 10.5f, 20.25f);
  });
  int xp_seen = 0, msfs_seen = 0;
  std::string last;
  for (auto end = std::chrono::steady_clock::now() + 9s; std::chrono::steady_clock::now() < end;) {
    std::string body = std::regex_replace(state_body(bridge.port), std::regex("\"t\":[0-9]+,"), "");
    if (body == xp_form) {
      ++xp_seen;
    } else if (body == msfs_form) {
      ++msfs_seen;
    } else {
      ADD_FAILURE() << body;
    }
    last = body;
    std::this_thread::sleep_for(70ms);
  }
  sending = false;
  sender.join();
  std::printf("[ writers  ] /state showed X-Plane %d times, MSFS %d times\n", xp_seen, msfs_seen);
  EXPECT_GT(msfs_seen, 0);
  EXPECT_GT(xp_seen, 0);
  EXPECT_EQ(last, xp_form);  // MSFS has stopped; X-Plane alone writes

  std::string out = bridge.process->out();
  std::size_t msfs_line = out.find("✓ receiving data from MSFS\n");
  std::size_t xp_line = out.rfind("✓ receiving data from X-Plane\n");
  ASSERT_NE(xp_line, std::string::npos) << out;
  EXPECT_LT(msfs_line, xp_line);
  EXPECT_GT(xp_line, out.rfind("✓ receiving data from MSFS\n"));  // the last switch was to X-Plane
  EXPECT_EQ(out.find("… waiting", msfs_line), std::string::npos) << out;
}

}  // namespace

}  // namespace tavrik
