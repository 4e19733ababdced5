#include "msfs/msfs_feed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <regex>

#include "platform/platform.h"
#include "support/fake_loop_clock.h"
#include "support/msfs_samples.h"
#include "support/simconnect_double.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// ---- Candidates -----------------------------------------------------------

TEST(MsfsCandidatesTest, OrderAndJoining) {
  const std::string sep = built_for_windows() ? "\\" : "/";
  const std::vector<std::string> fixed{"C:\\MSFS SDK", "C:\\MSFS 2024 SDK"};
  const std::string exe = platform::join_path("bin", "tavrik.exe");
  const std::string in_bin = "bin" + sep + "SimConnect.dll";
  const std::string tail = "SimConnect SDK" + sep + "lib" + sep + "SimConnect.dll";
  struct Case {
    const char* what;
    std::optional<std::string> exe, sdk, sdk2024;
    std::vector<std::string> expected;
  } cases[] = {
      {"nothing set", std::nullopt, std::nullopt, std::nullopt, {fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"exe folder first", exe, std::nullopt, std::nullopt, {in_bin, fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"exe without folder",
       std::string("tavrik.exe"),
       std::nullopt,
       std::nullopt,
       {fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"both variables in order",
       exe,
       std::string("one"),
       std::string("two"),
       {in_bin, "one" + sep + tail, "two" + sep + tail, fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"only the 2024 variable",
       std::nullopt,
       std::nullopt,
       std::string("two"),
       {"two" + sep + tail, fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"empty value is relative",
       std::nullopt,
       std::string(""),
       std::nullopt,
       {tail, fixed[0] + sep + tail, fixed[1] + sep + tail}},
      {"trailing separator kept single",
       std::nullopt,
       "sdk" + sep,
       std::nullopt,
       {"sdk" + sep + tail, fixed[0] + sep + tail, fixed[1] + sep + tail}},
  };
  for (const auto& c : cases) EXPECT_EQ(build_candidates(c.exe, c.sdk, c.sdk2024, fixed), c.expected) << c.what;
}

TEST(MsfsCandidatesTest, FixedFoldersOfThisSystem) {
  auto candidates = build_candidates(std::nullopt, std::nullopt, std::nullopt, platform::fixed_sdk_folders());
  std::vector<std::string> on_windows{"C:\\MSFS SDK\\SimConnect SDK\\lib\\SimConnect.dll",
                                      "C:\\MSFS 2024 SDK\\SimConnect SDK\\lib\\SimConnect.dll"};
  EXPECT_EQ(candidates, built_for_windows() ? on_windows : std::vector<std::string>{});  // none elsewhere
}

TEST(MsfsCandidatesTest, ConsoleLines) {
  EXPECT_EQ(found_line("x\\SimConnect.dll"), "→ MSFS: SimConnect from x\\SimConnect.dll\n");
  EXPECT_EQ(std::string(NOT_FOUND_LINE),
            "\xE2\x80\xA6 MSFS: SimConnect.dll not found \xE2\x80\x94 put it next to this .exe (from the MSFS SDK: "
            "SimConnect SDK\\lib)\n");
}

// What the search prints, by what became of each file: one line per file
// that is there but cannot serve, naming it with the system's words and the
// reason; the not-found line only when no file was there at all.
TEST(MsfsCandidatesTest, SearchLines) {
  using platform::LoadFailure;
  const std::string sdk_lib = "take the SimConnect.dll from the MSFS SDK (SimConnect SDK\\lib)";
  struct Case {
    UnusableLibrary library;
    std::string line;
  } cases[] = {
      {{"a\\SimConnect.dll", {LoadFailure::missing_dependency, "Module not found. (os error 126)"}},
       "… MSFS: cannot use a\\SimConnect.dll: Module not found. (os error 126) — a library it needs is missing: "
       "install "
       "the Microsoft Visual C++ Redistributable for Visual Studio 2015–2022 (x64)\n"},
      {{"b/SimConnect.dll", {LoadFailure::wrong_architecture, "Bad EXE format. (os error 193)"}},
       "… MSFS: cannot use b/SimConnect.dll: Bad EXE format. (os error 193) — not a 64-bit Windows library: " +
           sdk_lib + "\n"},
      {{"c", {LoadFailure::not_a_library, "c: invalid ELF header"}},
       "… MSFS: cannot use c: c: invalid ELF header — not a library at all: " + sdk_lib + "\n"},
      {{"d", {LoadFailure::missing_entry_point, "Not found. (os error 127)"}, SIMCONNECT_CLOSE},
       "… MSFS: cannot use d: Not found. (os error 127) — it has no SimConnect_Close, so it is not SimConnect or too "
       "old for the simulator: take the SimConnect.dll of the current MSFS SDK\n"},
      {{"e", {LoadFailure::other, "Access denied. (os error 5)"}},
       "… MSFS: cannot use e: Access denied. (os error 5)\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unusable_line(c.library), c.line);
    // Any usable library after it, and the found line follows its line.
    LibraryChoice loaded{FoundLibrary{"f", {}}, {c.library}};
    EXPECT_EQ(search_lines(loaded), (std::vector<std::string>{c.line, found_line("f")}));
  }
  const UnusableLibrary& first = cases[0].library;
  const UnusableLibrary& second = cases[3].library;
  EXPECT_EQ(search_lines({}), std::vector<std::string>{NOT_FOUND_LINE});
  EXPECT_EQ(search_lines({FoundLibrary{"f", {}}, {}}), std::vector<std::string>{found_line("f")});
  EXPECT_EQ(
      search_lines({std::nullopt, {first, second}}),
      (std::vector<std::string>{cases[0].line, cases[3].line,
                                "… MSFS: SimConnect.dll found but could not be loaded — see the lines above, then "
                                "restart the bridge\n"}));
}

// The full double with its machine field (ELF e_machine, PE Machine) made
// another processor's: the loader refuses it, and the reason must be the
// architecture, not a missing library or some other error.
TEST(MsfsCandidatesTest, LibraryForAnotherProcessorIsWrongArchitecture) {
  std::string bytes = read_text(simconnect_double_path());
  ASSERT_GT(bytes.size(), 0x40u);
  auto put_u16 = [&bytes](std::size_t at, unsigned value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
  };
  if (bytes.compare(0, 4, "\177ELF") == 0) {
    put_u16(18, bytes[18] == 3 ? 62 : 3);  // x86-64 <-> i386
  } else {
    std::size_t pe = static_cast<unsigned char>(bytes[0x3C]) | static_cast<unsigned char>(bytes[0x3D]) << 8;
    ASSERT_EQ(bytes.compare(pe, 4, std::string("PE\0\0", 4)), 0);
    put_u16(pe + 4, 0x014C);  // i386
  }
  TempFolder folder("machine");
  write_text(folder / "SimConnect.dll", bytes);
  LoadAttempt attempt = load_simconnect((folder / "SimConnect.dll").string());
  EXPECT_TRUE(attempt.is_file);
  EXPECT_FALSE(attempt.api.has_value());
  EXPECT_EQ(attempt.unusable.error.kind, platform::LoadFailure::wrong_architecture) << attempt.unusable.error.os_text;
}

// ---- Messages -------------------------------------------------------------

void put_u32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A message of exactly `size` bytes (so a read past it would be a fault), whose
// fields lie where they fit.
std::vector<unsigned char> make_message(std::size_t size, std::uint32_t id, std::uint32_t request,
                                        const RawSample& values = {}) {
  std::vector<unsigned char> bytes(size);
  put_u32(bytes, 0, static_cast<std::uint32_t>(size));
  put_u32(bytes, 8, id);
  put_u32(bytes, 12, request);
  for (std::size_t i = 0; i < values.size(); ++i)
    if (MESSAGE_VALUES_OFFSET + 8 * (i + 1) <= size)
      std::memcpy(bytes.data() + MESSAGE_VALUES_OFFSET + 8 * i, &values[i], 8);
  return bytes;
}

constexpr std::size_t FULL = OBJECT_DATA_MIN_SIZE;  // a whole sample, by the variable table
const std::string ONE_SHORT = std::to_string(FULL - 1);

TEST(MsfsMessageTest, ReadsByReportedSize) {
  const RawSample values = raw_sample(FLIGHT);
  struct Case {
    std::size_t size;
    std::uint32_t id, request;
    MessageKind kind;
  } cases[] = {
      {11, 3, 0, MessageKind::ignore},
      {12, 3, 0, MessageKind::quit},
      {FULL, 3, 1, MessageKind::quit},
      {12, 8, 1, MessageKind::ignore},
      {FULL - 1, 8, 1, MessageKind::ignore},
      {FULL, 8, 1, MessageKind::sample},
      {FULL + 88, 8, 1, MessageKind::sample},
      {FULL, 8, 2, MessageKind::ignore},
      {FULL, 8, 0, MessageKind::ignore},
      {FULL, 1, 1, MessageKind::exception},
      {FULL, 2, 1, MessageKind::ignore},
      {FULL, 9, 1, MessageKind::ignore},
      {0, 0, 0, MessageKind::ignore},
      // Exceptions: the code sits where object data has its request.
      {16, 1, 7, MessageKind::exception},
      {24, 1, 4294967295u, MessageKind::exception},
      {15, 1, 7, MessageKind::ignore},
      {12, 1, 0, MessageKind::ignore},
      {20, 15, 2, MessageKind::flight_state},  // the "Sim" state, 0 here: in the menus
      {FULL, 15, 1, MessageKind::ignore},
  };
  for (const auto& c : cases) {
    auto bytes = make_message(c.size, c.id, c.request, values);
    MessageReading reading = read_message(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(reading.kind, c.kind) << "size " << c.size << " id " << c.id << " request " << c.request;
    if (reading.kind == MessageKind::sample) {
      EXPECT_EQ(reading.values, values);
    }
    if (reading.kind == MessageKind::exception) {
      EXPECT_EQ(reading.exception, c.request);
    }
    if (reading.kind == MessageKind::flight_state) {  // an event, when one came before, is newer
      EXPECT_EQ(next_flight_state(FlightState::unknown, reading), FlightState::in_menus);
      EXPECT_EQ(next_flight_state(FlightState::flying, reading), FlightState::flying);
    }
  }
  EXPECT_EQ(read_message(nullptr, FULL).kind, MessageKind::ignore);
}

// ---- Refusals -------------------------------------------------------------

TEST(MsfsRefusalTest, OneLinePerCodeWithSimConnectsNames) {
  const std::string head = "… MSFS: the simulator refused a request";
  struct Case {
    std::uint32_t code;
    std::string line;
  } cases[] = {
      {0, head + ": SIMCONNECT_EXCEPTION_NONE (SimConnect exception 0)\n"},
      {1, head + ": SIMCONNECT_EXCEPTION_ERROR (SimConnect exception 1)\n"},
      {7, head + ": SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED (SimConnect exception 7)\n"},
      {19, head + ": SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE (SimConnect exception 19)\n"},
      {28, head + ": SIMCONNECT_EXCEPTION_DEFINITION_ERROR (SimConnect exception 28)\n"},
      {37, head + ": SIMCONNECT_EXCEPTION_OBJECT_SCHEDULE (SimConnect exception 37)\n"},
      {43, head + ": SIMCONNECT_EXCEPTION_SET_INPUT_EVENT_FAILED (SimConnect exception 43)\n"},
      {46, head + ": SIMCONNECT_EXCEPTION_CAMERA_API (SimConnect exception 46)\n"},
      {47, head + " (SimConnect exception 47)\n"},
      {4294967295u, head + " (SimConnect exception 4294967295)\n"},
  };
  RefusalLog log;
  for (const auto& c : cases) {
    EXPECT_EQ(refusal_line(c.code), c.line);
    EXPECT_EQ(note_refusal(log, c.code), c.line);
    EXPECT_EQ(note_refusal(log, c.code), std::nullopt) << c.code;  // once
  }
  for (std::uint32_t code = 1000; log.told.size() < MAX_REFUSALS_TOLD; ++code) EXPECT_TRUE(note_refusal(log, code));
  EXPECT_EQ(note_refusal(log, 999), std::nullopt);  // full: a flood of codes stays bounded
  EXPECT_EQ(log.told.size(), MAX_REFUSALS_TOLD);
}

// ---- Samples --------------------------------------------------------------

// A sample of the LiveState values in their order, "on ground" in its own row.
RawSample raw_sample(std::initializer_list<double> values, double on_ground) {
  RawSample raw{};
  std::copy(values.begin(), values.end(), raw.begin());
  raw[SIM_ON_GROUND_ROW] = on_ground;
  return raw;
}

TEST(MsfsSampleTest, ConvertsUnits) {
  struct Case {
    RawSample raw;
    ConvertedSample expected;
  } cases[] = {
      {raw_sample({1, 2, 0, 359, 0, 0, 0, 10}, 1.0), {1, 2, 0, 359, 0, 0, 0, 0.0}},
      {raw_sample({1, 2, 0, 0, 0, 0, 0, 10}, NaN), {1, 2, 0, 0, 0, 0, 0, 0.0}},
      {raw_sample({1, 2, 0, 0, 0, 0, 0, 10}, -0.0), {1, 2, 0, 0, 0, 0, 0, 3.048}},
      {raw_sample({-33, 151, -10, 0, 2, 0, 0, -3}, 0), {-33, 151, -3.048, 0, 1.028888888888889, 0, 0, -3 * 0.3048}},
  };
  for (const auto& c : cases) EXPECT_EQ(convert_sample(c.raw), c.expected);
}

TEST(MsfsSampleTest, NearZero) {
  struct Case {
    double lat, lon;
    bool near;
  } cases[] = {{0.005, -0.009, true}, {0.005, 0.02, false}, {0.0, 0.0, true},  {-0.00999, 0.00999, true},
               {0.01, 0.0, false},    {0.0, -0.01, false},  {NaN, 0.0, false}, {0.0, NaN, false},
               {NaN, NaN, false},     {47.5, 8.25, false}};
  for (const auto& c : cases) EXPECT_EQ(near_zero(c.lat, c.lon), c.near) << c.lat << " " << c.lon;
}

std::string snapshot_without_t(const LiveState& state) {
  return std::regex_replace(build_live_snapshot(state), std::regex("\"t\":[0-9]+,"), "");
}

TEST(MsfsSampleTest, StoresConvertedSampleAsMsfs) {
  LiveStateHolder holder;
  holder.record.sim = SimKind::xp;
  holder.record.values[Value::LAT] = 1.0;
  EXPECT_TRUE(store_sample(holder, raw_sample(FLIGHT)));
  EXPECT_EQ(holder.record.update_count, 1u);
  EXPECT_GT(holder.record.t, 0u);
  EXPECT_EQ(snapshot_without_t(holder.record), expected_snapshot(FLIGHT));

  EXPECT_TRUE(store_sample(holder, raw_sample(ON_GROUND)));
  EXPECT_EQ(snapshot_without_t(holder.record), expected_snapshot(ON_GROUND));
  EXPECT_EQ(holder.record.update_count, 2u);
}

TEST(MsfsSampleTest, NearZeroSampleLeavesStateAlone) {
  LiveStateHolder holder;
  EXPECT_FALSE(store_sample(holder, raw_sample(NEAR_ZERO)));
  EXPECT_EQ(holder.record.update_count, 0u);
  EXPECT_EQ(holder.record.sim, SimKind::none);
  EXPECT_EQ(build_live_snapshot(holder.record), "{\"live\":false}");
  EXPECT_TRUE(store_sample(holder, raw_sample({0.005, 0.02}, 1)));
  EXPECT_EQ(holder.record.update_count, 1u);
}

TEST(MsfsSampleTest, SilenceLimit) {
  const Instant base = MonotonicClock::now();
  EXPECT_FALSE(silence_exceeded(base, base));
  EXPECT_FALSE(silence_exceeded(base, base + 15s));
  EXPECT_TRUE(silence_exceeded(base, base + 15s + 1ns));
  EXPECT_TRUE(silence_exceeded(base, base + 60s));
  EXPECT_FALSE(silence_exceeded(base, base - 60s));  // clock before the stamp: no time passed
  EXPECT_TRUE(silence_exceeded(base, base + 101ms, 100ms));
}

// ---- The double, loaded into this process ---------------------------------

const FeedTiming QUICK{10ms, 5ms, 300ms};

TEST(MsfsSessionTest, StoresOnlyCompleteDataAndEndsOnQuit) {
  TempFolder folder("quit");
  DoubleSession session(folder,
                        "connection\n"
                        "message " +
                            ONE_SHORT +
                            " 8 1 10 20\n"
                            "message full 8 2 11 21\n"
                            "message 11 3 0\n"
                            "message full 5 1 12 22\n"
                            "null 2\n" +
                            sample_line(NEAR_ZERO) + sample_line(FLIGHT) + "none 2\nquit\n" + sample_line(POSITION));
  LiveStateHolder holder;
  EXPECT_EQ(run_session(load_double(), holder, QUICK), SessionEnd::quit);
  EXPECT_EQ(holder.record.update_count, 1u);
  EXPECT_EQ(snapshot_without_t(holder.record), expected_snapshot(FLIGHT));

  std::vector<std::string> expected{expected_open(1)};
  for (auto& line : expected_registrations(1)) expected.push_back(line);
  expected.push_back("SubscribeToSystemEvent handle=1 event=1 name=\"SimStart\" -> 0");
  expected.push_back("SubscribeToSystemEvent handle=1 event=2 name=\"SimStop\" -> 0");
  expected.push_back("RequestSystemState handle=1 request=2 state=\"Sim\" -> 0");
  expected.push_back(expected_request(1));
  expected.push_back(expected_traffic_request(1));
  std::string calls = session.calls();
  std::vector<std::string> setup = lines_starting(calls, "Open");
  for (auto& line : lines_starting(calls, "AddToDataDefinition")) setup.push_back(line);
  for (auto& line : lines_starting(calls, "Subscribe")) setup.push_back(line);
  for (auto& line : lines_starting(calls, "Request")) setup.push_back(line);
  EXPECT_EQ(setup, expected);
  EXPECT_EQ(lines_starting(calls, "Dispatch").size(), 7u);  // the sample after the quit never read
  EXPECT_EQ(lines_starting(calls, "Close"), std::vector<std::string>{"Close handle=1"});
  EXPECT_TRUE(lines_starting(calls, "GetNextDispatch").empty());  // never with a wrong handle
}

// The program's own waits on a fake clock: a failed open waits 3 s; a
// connection whose data stops is polled every 50 ms until more than 15 s have
// passed since the last sample, then closed, and the next open follows 3 s on.
TEST(MsfsSessionTest, ProgramTimingPollsEvery50MsClosesAfter15SReconnectsAfter3S) {
  TempFolder folder("timing");
  DoubleSession session(folder, "open_fail 1\nconnection\n" + sample_line(POSITION));
  LiveStateHolder holder;
  FakeLoopClock clock;
  FeedTiming timing;
  timing.clock = &clock;
  int reconnect_waits = 0;
  clock.on_sleep = [&](std::size_t) {
    if (clock.sleeps().back() != 50ms && ++reconnect_waits == 2) throw StopLoop();
  };
  EXPECT_THROW(run_connection_loop(load_double(), holder, timing), StopLoop);
  std::vector<MonotonicClock::duration> expected{3s};
  expected.insert(expected.end(), 301, 50ms);  // 15.00 s is not yet more than 15 s; 15.05 s is
  expected.push_back(3s);
  EXPECT_EQ(clock.sleeps(), expected);
  EXPECT_EQ(holder.record.update_count, 1u);
  EXPECT_EQ(lines_starting(session.calls(), "Close"), std::vector<std::string>{"Close handle=1"});
}

// Exception messages are told once per run, across connections, and change
// nothing else: the samples around them are stored, the quit still ends it.
TEST(MsfsSessionTest, RefusalsAreToldOnceAndTheFeedGoesOn) {
  TempFolder folder("refusals");
  DoubleSession session(folder, "connection\nexception 7 3 1\nexception 7\n" + sample_line(POSITION) +
                                    "exception 99\n" + sample_line(FLIGHT) + "exception 7\nquit\n");
  LiveStateHolder holder;
  RefusalLog log;
  EXPECT_EQ(run_session(load_double(), holder, QUICK, &log), SessionEnd::quit);
  EXPECT_EQ(log.told, (std::vector<std::uint32_t>{7, 99}));
  EXPECT_EQ(holder.record.update_count, 2u);
  EXPECT_EQ(snapshot_without_t(holder.record), expected_snapshot(FLIGHT));
  EXPECT_EQ(run_session(load_double(), holder, QUICK, &log), SessionEnd::quit);  // the same again
  EXPECT_EQ(log.told, (std::vector<std::uint32_t>{7, 99}));
}

TEST(MsfsSessionTest, IncompleteOrForeignDataDoesNotKeepTheConnection) {
  TempFolder folder("foreign");
  std::string script = "connection\n" + sample_line(POSITION);
  for (int i = 0; i < 15; ++i)  // each pause is at least 50 ms, 1.5 s in all: far beyond the limit
    script += "none 10\nmessage " + ONE_SHORT + " 8 1 1 1\nnone 10\nmessage full 8 2 1 1\n";
  DoubleSession session(folder, script);
  LiveStateHolder holder;
  EXPECT_EQ(run_session(load_double(), holder, QUICK), SessionEnd::silence);
  EXPECT_LT(lines_starting(session.calls(), "Dispatch").size(), 31u);
  EXPECT_EQ(holder.record.update_count, 1u);
}

TEST(MsfsSessionTest, NearZeroSamplesKeepTheConnection) {
  TempFolder folder("nearzero");
  std::string script = "connection\n";
  // 20 ms or more apart, 400 ms or more in all: beyond the limit unless each one counts
  for (int i = 0; i < 20; ++i) script += "none 4\n" + sample_line(NEAR_ZERO);
  DoubleSession session(folder, script + "quit\n");
  LiveStateHolder holder;
  EXPECT_EQ(run_session(load_double(), holder, FeedTiming{10ms, 5ms, 250ms}), SessionEnd::quit);
  EXPECT_EQ(holder.record.update_count, 0u);
}

// With --efb the three EFB variables follow the nine, the double serves them,
// and MSFS's pitch up and bank right (both negative there) come out positive.
TEST(MsfsSessionTest, EfbVariablesRegisteredAfterTheValuesAndTurnedToEfbSigns) {
  TempFolder folder("efb");
  DoubleSession session(folder, "connection\n" + sample_line(ON_GROUND).substr(0, sample_line(ON_GROUND).size() - 1) +
                                    " -5 -10 3000\nquit\n");
  LiveStateHolder holder;
  EXPECT_EQ(
      run_session(load_double(), holder, FeedTiming{10ms, 5ms, 300ms, TRAFFIC_INTERVAL, &real_loop_clock(), true}),
      SessionEnd::quit);
  EXPECT_EQ(snapshot_without_t(holder.record), expected_snapshot(ON_GROUND));  // the snapshot as ever
  EXPECT_EQ(holder.record.efb, (std::array<std::optional<double>, EFB_VALUE_COUNT>{5.0, 10.0, 3000.0, 1.0}));
  auto registered = lines_starting(session.calls(), "AddToDataDefinition handle=1 definition=1 ");
  registered.erase(registered.begin(), registered.begin() + MSFS_VARIABLE_COUNT);  // then the three:
  EXPECT_EQ(registered, (std::vector<std::string>{
                            expected_registrations(1)[0].replace(52, 29, "PLANE PITCH DEGREES\" unit=\"degrees"),
                            expected_registrations(1)[0].replace(52, 29, "PLANE BANK DEGREES\" unit=\"degrees"),
                            expected_registrations(1)[0].replace(52, 29, "PRESSURE ALTITUDE\" unit=\"feet")}));
}

}  // namespace

}  // namespace tavrik
