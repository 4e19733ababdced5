// The built program, started as a process: its console lines, streams and status.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tavrik_version.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

TEST(StartupTest, HelpPrintsOnlyTheUsageLine) {
  for (auto args : {std::vector<std::string>{"--help"}, {"somehost", "-h", "--msfs"}}) {
    auto child = start_child(bridge_path(), args, ChildOptions::with_stdin(""));
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_EQ(child->out(),
              "usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]] [--efb "
              "[ADDRESS,...]]\n");
    EXPECT_EQ(child->err(), "");
  }
}

TEST(StartupTest, UnresolvableHostIsAFatalStop) {
  // The host appears exactly as given, non-ASCII text included (on Windows it
  // comes from the wide command line); an IPv6 literal has no IPv4 address;
  // "-p" is no option but the host.
  const std::vector<std::vector<std::string>> cases{
      {"no-such-host.invalid"}, {"h\xC3\xA9llo-\xE2\x9C\x88.invalid"}, {"::1", "--xplane"}, {"-p", "8080"}};
  for (const auto& args : cases) {
    auto child = start_child(bridge_path(), args, ChildOptions::with_stdin(""));
    EXPECT_EQ(child->wait(30s), 1);
    EXPECT_EQ(child->out(), "Velmara tavrik " TAVRIK_VERSION "\n");
    EXPECT_EQ(child->err(), "✗ cannot resolve X-Plane host '" + args[0] + "'\nPress Enter to close.\n");
  }
}

// A bad key or a bad X-Plane port stops the bridge before anything starts, in
// whatever mode, with its line and the usage line (command_line_test has every
// kind of bad value).
TEST(StartupTest, UsageErrorsStopBeforeAnythingStarts) {
  const std::string bad_port = "': give a number from 1 to 65535, as in 192.168.1.20:49000\n";
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"--lan", "--lan-key", "fifteen-letters"},
       "✗ --lan-key needs a key of at least 16 characters, each a letter A-Z or a-z, a digit, or one of - . _ ~\n"},
      {{"--lan-key", "sixteen-letters-"}, "✗ --lan-key works only with --lan\n"},
      {{"h:0"}, "✗ bad X-Plane port in 'h:0" + bad_port},
      {{"127.0.0.1:65536", "--xplane"}, "✗ bad X-Plane port in '127.0.0.1:65536" + bad_port},
      {{"h:x", "--msfs"}, "✗ bad X-Plane port in 'h:x" + bad_port},
      {{"--efb", "10.0.0.300"},
       "✗ bad EFB address in '10.0.0.300': give the tablet's IPv4 address, as in 192.168.1.40, several separated by "
       "commas\n"},
  };
  for (const auto& c : cases) {
    auto child = start_child(bridge_path(), c.args, ChildOptions::with_stdin(""));
    EXPECT_EQ(child->wait(30s), 1);
    EXPECT_EQ(child->out(), "");
    EXPECT_EQ(child->err(), c.line +
                                "usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key "
                                "KEY]] [--efb [ADDRESS,...]]\n"
                                "Press Enter to close.\n");
  }
}

TEST(StartupTest, FatalStopWaitsForEnterOrEndOfInput) {
  for (std::string input : {"\n", ""}) {
    auto child = start_child(bridge_path(), {"no-such-host.invalid"});
    ASSERT_TRUE(child->wait_for_err("Press Enter to close.\n", 30s));
    EXPECT_EQ(child->wait(300ms), std::nullopt);  // still waiting
    child->close_stdin(input);
    EXPECT_EQ(child->wait(30s), 1) << (input.empty() ? "end of input" : "Enter");
  }
}

// The harness fails the test that started a child whose standard error
// carries a sanitizer report; this host name puts one there.
TEST(StartupTest, SanitizerReportOfAChildFailsTheTest) {
  const std::string report = "==1==ERROR: AddressSanitizer: heap-use-after-free";
  EXPECT_NONFATAL_FAILURE(
      {
        auto child = start_child(bridge_path(), {report}, ChildOptions::with_stdin(""));
        child->wait(30s);
      },
      "child 'tavrik" + std::string(built_for_windows() ? ".exe " : " ") + report +
          "' reported on standard error:\n✗ cannot resolve X-Plane host '" + report + "'\n");
}

TEST(StartupTest, StartsWithBannerAndXPlaneLineThenReady) {
  RunningBridge bridge = start_bridge({"--xplane"});
  ASSERT_NE(bridge.port, 0) << bridge.process->out() << bridge.process->err();
  std::string out = bridge.process->out();
  std::string expected = "Velmara tavrik " TAVRIK_VERSION
                         "\n→ X-Plane: asking 127.0.0.1:49000 for position (5 Hz)\n"
                         "✓ bridge ready on http://localhost:" +
                         std::to_string(bridge.port) +
                         " — enable live position (📡) on the map. Close this window to stop.\n"
                         "→ map: http://localhost:" +
                         std::to_string(bridge.port) + "/map\n";
  EXPECT_EQ(out.substr(0, expected.size()), expected);
}

TEST(StartupTest, MsfsOnlyHasNoXPlaneLine) {
  RunningBridge bridge = start_bridge({"--msfs", "no-such-host.invalid"});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  EXPECT_EQ(bridge.process->out().find("X-Plane"), std::string::npos);
}

TEST(StartupTest, SecondCopyOnTheSamePortFails) {
  RunningBridge first = start_bridge({"--xplane"});
  ASSERT_NE(first.port, 0);
  std::string port = std::to_string(first.port);
  auto second = start_child(bridge_path(), {"--xplane", "--port", port}, ChildOptions::with_stdin(""));
  EXPECT_EQ(second->wait(30s), 1);
  std::string err = second->err();
  std::string head = "✗ cannot open http://localhost:" + port + ": ";
  EXPECT_EQ(err.substr(0, head.size()), head) << err;
  EXPECT_NE(err.find(" (os error "), std::string::npos) << err;
  EXPECT_NE(err.find(") (is the bridge already running?)\nPress Enter to close.\n"), std::string::npos) << err;
  EXPECT_EQ(first.process->wait(0ms), std::nullopt);  // the first copy goes on
}

}  // namespace

}  // namespace tavrik
