// What the MSFS tests share: scratch folders, files, SDK layouts and the
// SimConnect double.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "msfs/msfs_feed.h"
#include "support/child_process.h"
#include "support/test_support.h"

// The built doubles: the full one, and one without SimConnect_GetNextDispatch.
inline const char* simconnect_double_path() { return SIMCONNECT_DOUBLE; }
inline const char* simconnect_double_no_dispatch_path() { return SIMCONNECT_DOUBLE_NO_DISPATCH; }

// The full double, loaded into this process.
inline tavrik::SimConnectApi load_double() {
  auto api = tavrik::load_simconnect(simconnect_double_path()).api;
  EXPECT_TRUE(api.has_value());
  return api.value_or(tavrik::SimConnectApi{});
}

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("tavrik-msfs-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Lays out `library` as an SDK under `folder`; returns the folder.
inline std::string install_sdk(const TempFolder& folder, const char* library) {
  std::filesystem::create_directories(folder / "SimConnect SDK" / "lib");
  std::filesystem::copy_file(library, folder / "SimConnect SDK" / "lib" / "SimConnect.dll");
  return folder.str();
}

// Where the program looks for the library in the SDK at `folder`, spelt as it
// prints it: with the separator of the system the build is for.
inline std::string sdk_library_path(const std::string& folder) {
  const std::string sep = tavrik::built_for_windows() ? "\\" : "/";
  return (folder.empty() ? "" : folder + sep) + "SimConnect SDK" + sep + "lib" + sep + "SimConnect.dll";
}

// Clears the SDK variables for one test, and again at its end.
struct CleanSdkEnvironment {
  CleanSdkEnvironment() { clear(); }
  ~CleanSdkEnvironment() { clear(); }
  static void clear() {
    unset_env("MSFS_SDK");
    unset_env("MSFS2024_SDK");
  }
};

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

// Points the double at `script` (written to `folder`) and at a call log there.
// A script step the double refused (a sample with the wrong number of values)
// fails the test, naming the script and its line.
struct DoubleSession {
  std::filesystem::path script, log;
  DoubleSession(const TempFolder& folder, const std::string& text)
      : script(folder / "script.txt"), log(folder / "calls.log") {
    write_text(script, text);
    set_env("TAVRIK_SIMCONNECT_SCRIPT", script.string());
    set_env("TAVRIK_SIMCONNECT_LOG", log.string());
  }
  ~DoubleSession() {
    unset_env("TAVRIK_SIMCONNECT_SCRIPT");
    unset_env("TAVRIK_SIMCONNECT_LOG");
    for (const auto& line : lines_starting(calls(), "ScriptError"))
      ADD_FAILURE() << "the SimConnect double refused its script: " << line << "\n" << read_text(script);
  }
  std::string calls() const { return read_text(log); }
};

// The registration lines the feed's variables must produce on connection `handle`.
inline std::vector<std::string> expected_registrations(int handle) {
  const char* rows[][2] = {{"PLANE LATITUDE", "degrees"},
                           {"PLANE LONGITUDE", "degrees"},
                           {"PLANE ALTITUDE", "feet"},
                           {"PLANE HEADING DEGREES TRUE", "degrees"},
                           {"GROUND VELOCITY", "knots"},
                           {"AIRSPEED INDICATED", "knots"},
                           {"VERTICAL SPEED", "feet per minute"},
                           {"PLANE ALT ABOVE GROUND", "feet"},
                           {"SIM ON GROUND", "bool"}};
  std::vector<std::string> lines;
  for (auto& row : rows)
    lines.push_back("AddToDataDefinition handle=" + std::to_string(handle) + " definition=1 variable=\"" + row[0] +
                    "\" unit=\"" + row[1] + "\" type=4 epsilon=0 datum=4294967295 -> 0");
  // Then the traffic's definition, the two texts (type 6) without a unit.
  const char* traffic[] = {"PLANE LATITUDE\" unit=\"degrees",     "PLANE LONGITUDE\" unit=\"degrees",
                           "PLANE ALTITUDE\" unit=\"feet",        "PLANE HEADING DEGREES TRUE\" unit=\"degrees",
                           "GROUND VELOCITY\" unit=\"knots",      "VERTICAL SPEED\" unit=\"feet per minute",
                           "SIM ON GROUND\" unit=\"bool",         "IS USER SIM\" unit=\"bool",
                           "ATC ID\" unit=\"\" type=6 epsilon=0", "ATC MODEL\" unit=\"\" type=6 epsilon=0"};
  for (std::string row : traffic)
    lines.push_back("AddToDataDefinition handle=" + std::to_string(handle) + " definition=2 variable=\"" + row +
                    (row.find("type=6") == std::string::npos ? "\" type=4 epsilon=0" : "") + " datum=4294967295 -> 0");
  return lines;
}

// The traffic request, every 2 s of a connection.
inline std::string expected_traffic_request(int handle) {
  return "RequestDataOnSimObjectType handle=" + std::to_string(handle) +
         " request=3 definition=2 radius=100000 type=2 -> 0";
}

inline std::string expected_request(int handle) {
  return "RequestDataOnSimObject handle=" + std::to_string(handle) +
         " request=1 definition=1 object=0 period=2 flags=0 origin=0 interval=7 limit=0 -> 0";
}

inline std::string expected_open(int handle) {
  return "Open handle_was_null=1 name=\"Velmara tavrik\" window=null message=0 event=null config=0 -> 0 handle=" +
         std::to_string(handle);
}
