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
const std::string READY = "✓ bridge ready on http://localhost:";
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

// Files that are there but cannot serve as SimConnect.dll: what the line for
// each must hold after the path (the system's words end in `os_words` on this
// system), and the plain words that follow them.
struct Unusable {
  const char* file;
  const char* os_words;
  const char* plain_words;
};
const Unusable FOREIGN_FILE = built_for_windows()
                                  ? Unusable{SIMCONNECT_FOREIGN_FILE, "(os error 193)", "not a 64-bit Windows library"}
                                  : Unusable{SIMCONNECT_FOREIGN_FILE, "invalid ELF header", "not a library at all"};
const Unusable NEEDS_MISSING_LIBRARY{SIMCONNECT_NEEDS_OTHER_LIBRARY,
                                     built_for_windows() ? "(os error 126)" : "No such file or directory",
                                     "a library it needs is missing"};
const Unusable NO_ENTRY_POINTS{SIMCONNECT_OTHER_LIBRARY,
                               built_for_windows() ? "(os error 127)" : "undefined symbol: SimConnect_Open",
                               "it has no SimConnect_Open"};

// The MSFS lines of `out`, without their line feeds.
std::vector<std::string> msfs_lines(const std::string& out) {
  std::vector<std::string> lines = lines_starting(out, "… MSFS: ");
  for (auto& line : lines_starting(out, "→ MSFS: ")) lines.push_back(line);
  return lines;
}

void expect_unusable_line(const std::string& line, const std::string& path, const Unusable& file) {
  EXPECT_EQ(line.rfind("… MSFS: cannot use " + path + ": ", 0), 0u) << line;
  EXPECT_NE(line.find(std::string(file.os_words) + " — " + file.plain_words), std::string::npos) << line;
  EXPECT_EQ(line.find("%1"), std::string::npos) << "an unfilled insert: " << line;
}

std::string in_folder(const TempFolder& folder) {
  return folder.str() + (built_for_windows() ? "\\" : "/") + "SimConnect.dll";
}

TEST(MsfsE2eTest, LibraryNextToExecutableFeedsTheState) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), logs("logs");
  std::string program = copy_bridge(bin);
  fs::copy_file(simconnect_double_path(), bin / "SimConnect.dll");
  // Each traffic request is answered by the user's own aircraft (IS USER SIM 1), one without a position and
  // one unsure whether it is the user's (NaN), none of which may show, and one other.
  DoubleSession session(
      logs, STREAMING + "aircraft 1 47.5 8.25 1000 90 100 -500 0 1 USER C172\n" +
                "aircraft 7 47.6 8.3 3000 180 120 0 0 0 HB-ABC TT:ATCCOM.AC_MODEL_C172.0.text\n" +
                "aircraft 8 nan 8.3 3000 180 120 0 0 0 NOPOS C172\naircraft 9 47.6 8.3 0 0 0 0 0 nan X Y\n");

  RunningBridge bridge;
  bridge.process = start_msfs_bridge(program);
  const std::string found =
      "→ MSFS: SimConnect from " + bin.str() + (built_for_windows() ? "\\" : "/") + "SimConnect.dll" + "\n";
  ASSERT_TRUE(bridge.process->wait_for_out(READY, 20s)) << bridge.process->out() << bridge.process->err();
  ASSERT_TRUE(bridge.process->wait_for_out(found, 2s)) << bridge.process->out();  // before the first connection
  ASSERT_TRUE(bridge.process->wait_for_out("✓ receiving data from MSFS\n", 20s)) << bridge.process->out();

  std::string calls = session.calls();
  EXPECT_EQ(lines_starting(calls, "Open"), std::vector<std::string>{expected_open(1)});
  EXPECT_EQ(lines_starting(calls, "AddToDataDefinition"), expected_registrations(1));
  EXPECT_EQ(lines_starting(calls, "RequestDataOnSimObject "), std::vector<std::string>{expected_request(1)});
  EXPECT_EQ(bridge.process->out().find("not found"), std::string::npos);

  bridge.port = ready_port(bridge.process->out());
  ASSERT_NE(bridge.port, 0);
  std::string response = http_exchange(bridge.port, "GET /state HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_FALSE(response.empty()) << "no answer to /state";
  EXPECT_NE(response.find("\"sim\":\"msfs\""), std::string::npos) << response;
  EXPECT_NE(response.find("," + FLIGHT.json + "}"), std::string::npos) << response;
  std::string traffic = http_exchange(bridge.port, "GET /traffic HTTP/1.1\r\n\r\n");
  EXPECT_NE(traffic.find("\r\n\r\n{\"aircraft\":[{\"id\":\"msfs-7\",\"t\":"), std::string::npos) << traffic;
  EXPECT_NE(traffic.find(R"(,"lat":47.6,"lon":8.3,"alt":914.4000000000001,"hdg":180,"gs":61.733333333333334,"vs":0,)"
                         R"("ground":false,"callsign":"HB-ABC","type":"C172"}]})"),
            std::string::npos)
      << traffic;
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
  // The directory is no file and says nothing; the incomplete library says what it lacks.
  std::vector<std::string> lines = msfs_lines(child->out());
  ASSERT_EQ(lines.size(), 2u) << child->out();
  const std::string lacks = built_for_windows() ? "(os error 127)" : "undefined symbol: SimConnect_GetNextDispatch";
  expect_unusable_line(lines[0], sdk_library_path(incomplete.str()),
                       {"", lacks.c_str(), "it has no SimConnect_GetNextDispatch"});
  EXPECT_EQ(lines[1] + "\n", found);
}

// A file of another kind and a library whose own dependency is missing are
// each named with the reason and the remedy; the search goes on to the
// library that serves.
TEST(MsfsE2eTest, UnusableFilesAreNamedAndTheNextLibraryServes) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), needy("needy"), good("good"), logs("logs");
  ASSERT_TRUE(fs::exists(FOREIGN_FILE.file))
      << FOREIGN_FILE.file << " was not built: install gcc-mingw-w64-i686-posix and configure again";
  std::string program = copy_bridge(bin);
  fs::copy_file(FOREIGN_FILE.file, bin / "SimConnect.dll");
  set_env("MSFS_SDK", install_sdk(needy, NEEDS_MISSING_LIBRARY.file));
  set_env("MSFS2024_SDK", install_sdk(good, simconnect_double_path()));
  DoubleSession session(logs, STREAMING);

  auto child = start_msfs_bridge(program);
  const std::string found = "→ MSFS: SimConnect from " + sdk_library_path(good.str()) + "\n";
  ASSERT_TRUE(child->wait_for_out(found, 20s)) << child->out() << child->err();
  ASSERT_TRUE(child->wait_for_out("✓ receiving data from MSFS\n", 20s)) << child->out();
  std::vector<std::string> lines = msfs_lines(child->out());
  ASSERT_EQ(lines.size(), 3u) << child->out();
  expect_unusable_line(lines[0], in_folder(bin), FOREIGN_FILE);
  expect_unusable_line(lines[1], sdk_library_path(needy.str()), NEEDS_MISSING_LIBRARY);
  EXPECT_EQ(lines[2] + "\n", found);
}

// Only files that cannot serve: one line each, then one that says SimConnect
// was found but could not be loaded, never "not found"; the bridge serves on.
TEST(MsfsE2eTest, OnlyUnusableFilesSayFoundButNotLoaded) {
  CleanSdkEnvironment clean;
  TempFolder bin("bin"), foreign("foreign"), other("other");
  ASSERT_TRUE(fs::exists(FOREIGN_FILE.file))
      << FOREIGN_FILE.file << " was not built: install gcc-mingw-w64-i686-posix and configure again";
  std::string program = copy_bridge(bin);
  // The library that needs the other one comes first: once the other is
  // loaded, Linux would take it for the one needed, by its name.
  fs::copy_file(NEEDS_MISSING_LIBRARY.file, bin / "SimConnect.dll");
  set_env("MSFS_SDK", install_sdk(foreign, FOREIGN_FILE.file));
  set_env("MSFS2024_SDK", install_sdk(other, NO_ENTRY_POINTS.file));

  auto child = start_msfs_bridge(program);
  ASSERT_TRUE(child->wait_for_out(NOT_LOADED_LINE, 20s)) << child->out() << child->err();
  std::vector<std::string> lines = msfs_lines(child->out());
  ASSERT_EQ(lines.size(), 4u) << child->out();
  expect_unusable_line(lines[0], in_folder(bin), NEEDS_MISSING_LIBRARY);
  expect_unusable_line(lines[1], sdk_library_path(foreign.str()), FOREIGN_FILE);
  expect_unusable_line(lines[2], sdk_library_path(other.str()), NO_ENTRY_POINTS);
  EXPECT_EQ(lines[3] + "\n",
            "… MSFS: SimConnect.dll found but could not be loaded — see the lines above, then restart the bridge\n");
  ASSERT_TRUE(child->wait_for_out("… waiting for MSFS (is a flight loaded?)\n", 20s)) << child->out();
  EXPECT_EQ(child->wait(200ms), std::nullopt);  // still serving
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
  ASSERT_TRUE(bridge.process->wait_for_out(READY, 20s)) << bridge.process->out() << bridge.process->err();
  // The search is done at the feed's start, well before a first reconnection delay could pass.
  ASSERT_TRUE(bridge.process->wait_for_out(NOT_FOUND, 2s)) << bridge.process->out();
  ASSERT_TRUE(bridge.process->wait_for_out("… waiting for MSFS (is a flight loaded?)\n", 20s));
  EXPECT_EQ(msfs_lines(bridge.process->out()), std::vector<std::string>{NOT_FOUND.substr(0, NOT_FOUND.size() - 1)});
  EXPECT_EQ(bridge.process->wait(200ms), std::nullopt);  // still serving
}

TEST(MsfsE2eTest, ReconnectsAfterQuitWithFreshRegistrationsAndTellsRefusalsOnce) {
  CleanSdkEnvironment clean;
  TempFolder sdk("sdk"), logs("logs");
  set_env("MSFS_SDK", install_sdk(sdk, simconnect_double_path()));
  // The simulator's refusals on both connections: one line per code over the
  // whole run, however often it comes; the feed goes on.
  DoubleSession session(logs, "connection\nexception 7 4 1\nexception 7\n" + sample_line(FLIGHT) +
                                  "exception 4294967295\nquit\nstack 1024\nconnection\nexception 7\nexception 3 9 2\n" +
                                  stream_line(2, FLIGHT));

  auto child = start_msfs_bridge(bridge_path());
  ASSERT_TRUE(child->wait_for_out("✓ receiving data from MSFS\n", 20s)) << child->out() << child->err();
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (lines_starting(session.calls(), "RequestDataOnSimObject ").size() < 2 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(child->wait_for_out("SimConnect exception 3)", 10s)) << child->out();
  std::this_thread::sleep_for(500ms);  // samples stream on after it
  EXPECT_EQ(
      lines_starting(child->out(), "… MSFS: the simulator refused"),
      (std::vector<std::string>{
          "… MSFS: the simulator refused a request: SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED (SimConnect exception 7)",
          "… MSFS: the simulator refused a request (SimConnect exception 4294967295)",
          "… MSFS: the simulator refused a request: SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID (SimConnect exception 3)"}))
      << child->out();
  EXPECT_EQ(child->wait(0ms), std::nullopt);

  std::string calls = session.calls();
  EXPECT_EQ(lines_starting(calls, "Open"), (std::vector<std::string>{expected_open(1), expected_open(2)}));
  std::vector<std::string> registrations = expected_registrations(1);
  for (auto& line : expected_registrations(2)) registrations.push_back(line);
  EXPECT_EQ(lines_starting(calls, "AddToDataDefinition"), registrations);
  EXPECT_EQ(lines_starting(calls, "RequestDataOnSimObject "),
            (std::vector<std::string>{expected_request(1), expected_request(2)}));
  EXPECT_EQ(lines_starting(calls, "Close"), std::vector<std::string>{"Close handle=1"});
  // The close comes before the second open.
  EXPECT_LT(calls.find("Close handle=1"), calls.find(expected_open(2)));
  EXPECT_EQ(occurrences(child->out(), "→ MSFS: SimConnect from "), 1u) << child->out();  // once, not per connection
}

// Positions sent from the simulator's menus never reach /state or /track: the
// bridge waits, and the flight after them is live on the same connection. A
// 500 km jump then begins a new segment, and /state is at the new place.
TEST(MsfsE2eTest, MenusAreNotFlownAndAJumpBeginsASegment) {
  CleanSdkEnvironment clean;
  TempFolder sdk("menu-sdk"), logs("menu-logs");
  set_env("MSFS_SDK", install_sdk(sdk, simconnect_double_path()));
  const MsfsSample menu{{{Value::LAT, -20.5}, {Value::LON, 80.25}}}, there{{{Value::LAT, 52}, {Value::LON, 8.25}}};
  std::string script = "connection\n";
  for (int i = 0; i < 26; ++i)  // 0.75 s flying, 5 s in the menus, 0.75 s flying
    script += (i == 3 ? "menu\n" : i == 23 ? "fly\n" : "") + sample_line(i < 3 || i >= 23 ? FLIGHT : menu) + "none 5\n";
  DoubleSession session(logs, script + stream_line(4, there));
  auto child = start_msfs_bridge(bridge_path());
  const std::string on = "✓ receiving data from MSFS\n";
  ASSERT_TRUE(child->wait_for_out(on + "… waiting for MSFS (is a flight loaded?)\n" + on, 30s)) << child->out();
  std::this_thread::sleep_for(2s);  // the flight again, then 500 km north
  std::uint16_t port = ready_port(child->out());
  EXPECT_NE(state_body(port).find("\"lat\":52,\"lon\":8.25,"), std::string::npos);
  std::string track = split_answer(http_exchange(port, "GET /track HTTP/1.1\r\n\r\n")).body;
  EXPECT_EQ(std::regex_replace(std::regex_replace(track, std::regex("\\[[0-9]+,([-0-9.]+),[^\\]]+\\]"), "$1"),
                               std::regex("(47.5|52)(,\\1)*"), "$1"),
            R"({"segments":[{"id":0,"points":[47.5]},{"id":1,"points":[47.5]},{"id":2,"points":[52]}]})");
  std::string gpx = split_answer(http_exchange(port, "GET /track.gpx HTTP/1.1\r\n\r\n")).body;
  EXPECT_EQ(occurrences(gpx, "<trkseg>"), 3u);
  EXPECT_EQ(gpx.find("-20.5"), std::string::npos);
  EXPECT_EQ(lines_starting(session.calls(), "Open"), std::vector<std::string>{expected_open(1)});
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
  ASSERT_EQ(pass.size(), XPLANE_PASS_SIZE);
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
