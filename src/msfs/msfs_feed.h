// The MSFS feed: SimConnect, found on disk and loaded at run time, polled for
// the user's aircraft, every sample copied into the shared LiveState.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "msfs/simconnect_api.h"
#include "platform/platform.h"
#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

constexpr const char* CLIENT_NAME = "Velmara tavrik";
constexpr const char* SIMCONNECT_FILE = "SimConnect.dll";

constexpr double FEET_TO_METRES = 0.3048;
constexpr double KNOTS_TO_METRES_PER_SECOND = 0.5144444444444445;

struct SimVariable {
  const char* name;
  const char* unit;
  std::optional<Value> fills;  // the LiveState value it becomes, if any
  double scale = 1.0;          // from `unit` to the LiveState value's unit
};

// Registration order, and so the order of the values in every data message:
// one variable per LiveState value in value order, then "on ground".
constexpr std::array MSFS_VARIABLES{
    SimVariable{"PLANE LATITUDE", "degrees", Value::LAT},
    SimVariable{"PLANE LONGITUDE", "degrees", Value::LON},
    SimVariable{"PLANE ALTITUDE", "feet", Value::ALT, FEET_TO_METRES},
    SimVariable{"PLANE HEADING DEGREES TRUE", "degrees", Value::HDG},
    SimVariable{"GROUND VELOCITY", "knots", Value::GS, KNOTS_TO_METRES_PER_SECOND},
    SimVariable{"AIRSPEED INDICATED", "knots", Value::IAS},
    SimVariable{"VERTICAL SPEED", "feet per minute", Value::VS},
    SimVariable{"PLANE ALT ABOVE GROUND", "feet", Value::AGL, FEET_TO_METRES},
    SimVariable{"SIM ON GROUND", "bool", std::nullopt},
};
constexpr std::size_t MSFS_VARIABLE_COUNT = MSFS_VARIABLES.size();
constexpr std::size_t SIM_ON_GROUND_ROW = VALUE_COUNT;

// Row i of a sample is LiveState value i, for every value; "on ground" last.
constexpr bool variables_follow_values() {
  for (std::size_t row = 0; row < MSFS_VARIABLE_COUNT; ++row) {
    std::optional<Value> expected;
    if (row < VALUE_COUNT) expected = static_cast<Value>(row);
    if (MSFS_VARIABLES[row].fills != expected) return false;
  }
  return MSFS_VARIABLE_COUNT == VALUE_COUNT + 1;
}
static_assert(variables_follow_values(), "MSFS_VARIABLES must list the values in LiveState order");

// Registered after those with --efb only, in `EfbValue` order (on ground is
// "SIM ON GROUND" above). MSFS counts pitch up and bank right negative; the
// scale turns them to nose up and right wing down positive.
constexpr std::array MSFS_EFB_VARIABLES{
    SimVariable{"PLANE PITCH DEGREES", "degrees", std::nullopt, -1.0},
    SimVariable{"PLANE BANK DEGREES", "degrees", std::nullopt, -1.0},
    SimVariable{"PRESSURE ALTITUDE", "feet", std::nullopt},
};
static_assert(MSFS_EFB_VARIABLES.size() + 1 == EFB_VALUE_COUNT, "the EFB values but on ground");
using EfbSample = std::array<double, MSFS_EFB_VARIABLES.size()>;

// The traffic: every aircraft within TRAFFIC_RADIUS_METRES, asked for every
// TRAFFIC_INTERVAL, one message each, the user's own among them (left out by
// "IS USER SIM", since MSFS 2024 does not keep the user's object id fixed).
struct TrafficVariable {
  const char* name;
  const char* unit;  // null for a text
  std::uint32_t data_type = DATA_TYPE_FLOAT64;
};
enum TrafficRow : std::size_t { T_LAT, T_LON, T_ALT, T_HDG, T_GS, T_VS, T_ON_GROUND, T_IS_USER, T_NUMBERS };
inline constexpr std::array MSFS_TRAFFIC_VARIABLES{
    TrafficVariable{"PLANE LATITUDE", "degrees"},
    TrafficVariable{"PLANE LONGITUDE", "degrees"},
    TrafficVariable{"PLANE ALTITUDE", "feet"},
    TrafficVariable{"PLANE HEADING DEGREES TRUE", "degrees"},
    TrafficVariable{"GROUND VELOCITY", "knots"},
    TrafficVariable{"VERTICAL SPEED", "feet per minute"},
    TrafficVariable{"SIM ON GROUND", "bool"},
    TrafficVariable{"IS USER SIM", "bool"},
    TrafficVariable{"ATC ID", nullptr, DATA_TYPE_STRING32},     // the callsign or tail number
    TrafficVariable{"ATC MODEL", nullptr, DATA_TYPE_STRING32},  // the type, often as "…AC_MODEL_B738.0.text"
};
constexpr std::size_t TRAFFIC_TEXT_SIZE = 32;
constexpr std::uint32_t TRAFFIC_DEFINITION_ID = 2;
constexpr std::uint32_t TRAFFIC_REQUEST_ID = 3;  // 1 is the user's aircraft, 2 the "Sim" state
constexpr std::uint32_t TRAFFIC_RADIUS_METRES = 100000;
constexpr auto TRAFFIC_INTERVAL = std::chrono::seconds(2);
constexpr std::size_t TRAFFIC_DATA_MIN_SIZE = 40 + T_NUMBERS * sizeof(double) + 2 * TRAFFIC_TEXT_SIZE;

constexpr std::uint32_t DEFINITION_ID = 1;
constexpr std::uint32_t REQUEST_ID = 1;
constexpr std::uint32_t REQUEST_INTERVAL = 7;  // frames between samples

// Whether the user flies or is in the simulator's menus: SimConnect's "Sim"
// state (1: the user controls the aircraft, 0: the user is in the menus), and
// its "SimStart" and "SimStop" events when it changes.
constexpr const char* SIM_STATE_NAME = "Sim";
constexpr const char* SIM_START_EVENT_NAME = "SimStart";
constexpr const char* SIM_STOP_EVENT_NAME = "SimStop";
constexpr std::uint32_t SIM_START_EVENT_ID = 1;
constexpr std::uint32_t SIM_STOP_EVENT_ID = 2;
constexpr std::uint32_t SIM_STATE_REQUEST_ID = 2;

// An object-data message holds one double per variable from byte 40 on.
constexpr std::size_t OBJECT_DATA_MIN_SIZE = MESSAGE_VALUES_OFFSET + MSFS_VARIABLE_COUNT * sizeof(double);
constexpr std::size_t OBJECT_DATA_EFB_SIZE = OBJECT_DATA_MIN_SIZE + sizeof(EfbSample);

constexpr auto RECONNECT_DELAY = std::chrono::seconds(3);
constexpr auto DISPATCH_POLL_INTERVAL = std::chrono::milliseconds(50);
constexpr auto SILENCE_LIMIT = std::chrono::seconds(15);
constexpr double NEAR_ZERO_DEGREES = 0.01;

// The feed's waits and the clock it keeps them by; tests shorten or fake them.
struct FeedTiming {
  MonotonicClock::duration reconnect_delay = RECONNECT_DELAY;
  MonotonicClock::duration poll_interval = DISPATCH_POLL_INTERVAL;
  MonotonicClock::duration silence_limit = SILENCE_LIMIT;
  MonotonicClock::duration traffic_interval = TRAFFIC_INTERVAL;
  LoopClock* clock = &real_loop_clock();
  bool efb = false;  // register MSFS_EFB_VARIABLES too (--efb)
};

using RawSample = std::array<double, MSFS_VARIABLE_COUNT>;
using ConvertedSample = std::array<double, VALUE_COUNT>;

// ---- Finding the library --------------------------------------------------

// Where SimConnect.dll is looked for, in order: beside the executable (when
// its path and folder are known), under each SDK variable that is set (an
// empty value is a relative folder), under each fixed SDK folder.
std::vector<std::string> build_candidates(const std::optional<std::string>& exe_path,
                                          const std::optional<std::string>& msfs_sdk,
                                          const std::optional<std::string>& msfs2024_sdk,
                                          const std::vector<std::string>& fixed_folders);

// A candidate that is a file but cannot serve as SimConnect, and why.
struct UnusableLibrary {
  std::string path;  // the candidate exactly as built
  platform::LoadError error;
  const char* entry_point = nullptr;  // the first one missing, for LoadFailure::missing_entry_point
};

// What came of trying the candidate at `path`: the seven entry points, or,
// for a file that does not load or lacks one, why not. A loaded library is
// never unloaded.
struct LoadAttempt {
  bool is_file = false;
  std::optional<SimConnectApi> api;
  UnusableLibrary unusable;  // for a file without `api`
};
LoadAttempt load_simconnect(const std::string& path);

struct FoundLibrary {
  std::string path;  // the candidate exactly as built
  SimConnectApi api;
};

// The search: the first candidate that loads with all seven entry points, if
// any, and every file tried before it that did not, in order.
struct LibraryChoice {
  std::optional<FoundLibrary> found;
  std::vector<UnusableLibrary> unusable;
};
LibraryChoice choose_simconnect(const std::vector<std::string>& candidates);

// The candidates of this process (executable, environment, fixed folders),
// searched in order.
LibraryChoice find_simconnect();

// The console lines of the search.
std::string found_line(const std::string& path);
extern const char* const NOT_FOUND_LINE;
extern const char* const NOT_LOADED_LINE;  // files were there, none served
std::string unusable_line(const UnusableLibrary& library);
// Every line the search prints, in order, each whole.
std::vector<std::string> search_lines(const LibraryChoice& choice);

// ---- Messages and samples -------------------------------------------------

enum class MessageKind { ignore, quit, sample, exception, flight_started, flight_stopped, flight_state, traffic };

// One aircraft of a traffic answer, as the message holds it.
struct TrafficSample {
  std::uint32_t object = 0;
  std::array<double, T_NUMBERS> numbers{};  // in MSFS_TRAFFIC_VARIABLES order
  std::string atc_id, atc_model;            // the text fields' bytes, up to their first zero
};

struct MessageReading {
  MessageKind kind = MessageKind::ignore;
  RawSample values{};            // for `sample` only
  std::optional<EfbSample> efb;  // for a `sample` of at least OBJECT_DATA_EFB_SIZE bytes
  std::uint32_t exception = 0;   // for `exception` only: SimConnect's code
  bool flying = false;           // for `flight_state` only: the "Sim" state is not 0
  TrafficSample traffic;         // for `traffic` only
};

// What a message of `size` bytes at `message` means to the feed. Reads only
// within `size`; the size field inside the message is not trusted.
MessageReading read_message(const void* message, std::uint32_t size);

// ---- In a flight or in the menus -------------------------------------------

// What the simulator last said: nothing yet, a flight runs, or the user is in
// its menus, where the positions it sends were never flown.
enum class FlightState { unknown, flying, in_menus };

// The state after `reading`. The events are the newest word: the answer to
// the state request counts only while nothing else has been said.
FlightState next_flight_state(FlightState state, const MessageReading& reading);

// Samples are kept unless the simulator said the user is in its menus; one
// that never says keeps every sample, as before it was asked.
constexpr bool keeps_samples(FlightState state) { return state != FlightState::in_menus; }

// ---- Refusals ------------------------------------------------------------

// SimConnect's documented name for an exception code (SIMCONNECT_EXCEPTION),
// or null for a code it does not list.
const char* simconnect_exception_name(std::uint32_t code);

// "… MSFS: the simulator refused a request: <name> (SimConnect exception <n>)\n",
// without ": <name>" for a code without a name.
std::string refusal_line(std::uint32_t code);

// The codes already told to the user: each once per run, and at most
// MAX_REFUSALS_TOLD different ones, so a flood of codes cannot grow it.
constexpr std::size_t MAX_REFUSALS_TOLD = 64;
struct RefusalLog {
  std::vector<std::uint32_t> told;
};

// The line to print for `code`, once: nothing when it was told before or
// the log is full.
std::optional<std::string> note_refusal(RefusalLog& log, std::uint32_t code);

// Both coordinates within 0.01 degrees of zero: no aircraft placed yet. NaN
// is never near zero.
bool near_zero(double lat, double lon);

// The LiveState values of a sample, each scaled to its LiveState unit; no
// height above ground while on the ground.
ConvertedSample convert_sample(const RawSample& raw);

// Stores a sample unless its position is near zero; true when stored. The
// EFB values come from `efb` (scaled) and "on ground", or are cleared.
bool store_sample(LiveStateHolder& holder, const RawSample& raw, const std::optional<EfbSample>& efb = std::nullopt);

// The type designator in an "ATC MODEL" text: what follows "AC_MODEL" up to
// the next dot ("TT:ATCCOM.AC_MODEL_B738.0.text" gives "B738"), or the text
// itself; printable and bounded.
std::string model_type(std::string_view atc_model);

// The aircraft a traffic sample describes, stamped `now`, `t`; nothing for
// the user's own (anything but "IS USER SIM" 0), or a position that is not
// finite or near zero.
std::optional<TrafficAircraft> convert_traffic(const TrafficSample& sample, TrafficInstant now, std::uint64_t t);

// Stores the aircraft of a traffic sample; true when stored.
bool store_traffic(LiveStateHolder& holder, const TrafficSample& sample);

// More than `limit` since the last data; a `now` before it counts as no time.
bool silence_exceeded(Instant last_data, Instant now, MonotonicClock::duration limit = SILENCE_LIMIT);

// ---- Running --------------------------------------------------------------

enum class SessionEnd { open_failed, setup_failed, quit, silence };

// One connection: open, register, ask after the flight, request, dispatch
// until a quit or silence, close. Samples from the menus are not stored. Returns without closing when the open fails.
// Does not wait after. Exception messages are printed as note_refusal says, against `refusals` (null: a log of this
// session alone); they change nothing else.
SessionEnd run_session(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing,
                       RefusalLog* refusals = nullptr);

// Sessions for ever, `reconnect_delay` apart.
[[noreturn]] void run_connection_loop(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing);

// Thread body. Returns only when no usable SimConnect library was found.
void run_msfs_feed(SharedState holder, bool efb = false);

}  // namespace tavrik
