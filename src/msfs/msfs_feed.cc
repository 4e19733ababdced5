#include "msfs/msfs_feed.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/byte_order.h"

namespace tavrik {

const char* const NOT_FOUND_LINE =
    "… MSFS: SimConnect.dll not found — put it next to this .exe (from the MSFS SDK: SimConnect SDK\\lib)\n";
const char* const NOT_LOADED_LINE =
    "… MSFS: SimConnect.dll found but could not be loaded — see the lines above, then restart the bridge\n";

std::string found_line(const std::string& path) { return "→ MSFS: SimConnect from " + path + "\n"; }

namespace {

// What went wrong in plain words and what to do, after the system's words;
// nothing for an error the user cannot act on from here.
std::string advice(const UnusableLibrary& library) {
  const std::string from_sdk = "take the SimConnect.dll from the MSFS SDK (SimConnect SDK\\lib)";
  switch (library.error.kind) {
    case platform::LoadFailure::missing_dependency:
      return " — a library it needs is missing: install the Microsoft Visual C++ Redistributable for Visual Studio "
             "2015–2022 (x64)";
    case platform::LoadFailure::wrong_architecture:
      return " — not a 64-bit Windows library: " + from_sdk;
    case platform::LoadFailure::not_a_library:
      return " — not a library at all: " + from_sdk;
    case platform::LoadFailure::missing_entry_point:
      return std::string(" — it has no ") + (library.entry_point ? library.entry_point : "SimConnect entry point") +
             ", so it is not SimConnect or too old for the simulator: take the SimConnect.dll of the current MSFS SDK";
    case platform::LoadFailure::other:
      break;
  }
  return "";
}

}  // namespace

std::string unusable_line(const UnusableLibrary& library) {
  return "… MSFS: cannot use " + library.path + ": " + library.error.os_text + advice(library) + "\n";
}

std::vector<std::string> search_lines(const LibraryChoice& choice) {
  std::vector<std::string> lines;
  for (const auto& library : choice.unusable) lines.push_back(unusable_line(library));
  if (choice.found) {
    lines.push_back(found_line(choice.found->path));
  } else {
    lines.push_back(choice.unusable.empty() ? NOT_FOUND_LINE : NOT_LOADED_LINE);
  }
  return lines;
}

// ---- Finding the library --------------------------------------------------

namespace {

std::string sdk_library_path(const std::string& folder) {
  return platform::join_path(platform::join_path(platform::join_path(folder, "SimConnect SDK"), "lib"),
                             SIMCONNECT_FILE);
}

template <typename Fn>
bool resolve(platform::LibraryHandle library, const char* name, Fn* out, std::string* os_text) {
  platform::SymbolAddress address = platform::find_symbol(library, name, os_text);
  if (!address) return false;
  *out = reinterpret_cast<Fn>(address);
  return true;
}

// Resolves the seven in this order, stopping at the first missing name, which
// it returns (null when none is missing).
const char* resolve_entry_points(platform::LibraryHandle library, SimConnectApi* api, std::string* os_text) {
  if (!resolve(library, SIMCONNECT_OPEN, &api->open, os_text)) return SIMCONNECT_OPEN;
  if (!resolve(library, SIMCONNECT_CLOSE, &api->close, os_text)) return SIMCONNECT_CLOSE;
  if (!resolve(library, SIMCONNECT_ADD_TO_DATA_DEFINITION, &api->add_to_data_definition, os_text))
    return SIMCONNECT_ADD_TO_DATA_DEFINITION;
  if (!resolve(library, SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT, &api->request_data_on_sim_object, os_text))
    return SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT;
  if (!resolve(library, SIMCONNECT_GET_NEXT_DISPATCH, &api->get_next_dispatch, os_text))
    return SIMCONNECT_GET_NEXT_DISPATCH;
  if (!resolve(library, SIMCONNECT_SUBSCRIBE_TO_SYSTEM_EVENT, &api->subscribe_to_system_event, os_text))
    return SIMCONNECT_SUBSCRIBE_TO_SYSTEM_EVENT;
  if (!resolve(library, SIMCONNECT_REQUEST_SYSTEM_STATE, &api->request_system_state, os_text))
    return SIMCONNECT_REQUEST_SYSTEM_STATE;
  return nullptr;
}

}  // namespace

std::vector<std::string> build_candidates(const std::optional<std::string>& exe_path,
                                          const std::optional<std::string>& msfs_sdk,
                                          const std::optional<std::string>& msfs2024_sdk,
                                          const std::vector<std::string>& fixed_folders) {
  std::vector<std::string> candidates;
  if (exe_path) {
    if (auto folder = platform::parent_directory(*exe_path))
      candidates.push_back(platform::join_path(*folder, SIMCONNECT_FILE));
  }
  for (const auto* sdk : {&msfs_sdk, &msfs2024_sdk})
    if (*sdk) candidates.push_back(sdk_library_path(**sdk));
  for (const auto& folder : fixed_folders) candidates.push_back(sdk_library_path(folder));
  return candidates;
}

LoadAttempt load_simconnect(const std::string& path) {
  LoadAttempt attempt;
  attempt.is_file = platform::is_regular_file(path);
  if (!attempt.is_file) return attempt;
  attempt.unusable.path = path;
  platform::LibraryLoad load = platform::load_library(path);
  if (!load.library) {
    attempt.unusable.error = load.error;
    return attempt;
  }
  SimConnectApi api;
  attempt.unusable.entry_point = resolve_entry_points(load.library, &api, &attempt.unusable.error.os_text);
  if (attempt.unusable.entry_point) {
    attempt.unusable.error.kind = platform::LoadFailure::missing_entry_point;
  } else {
    std::string ignored;
    resolve(load.library, SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT_TYPE, &api.request_data_on_sim_object_type, &ignored);
    attempt.api = api;
  }
  return attempt;
}

LibraryChoice choose_simconnect(const std::vector<std::string>& candidates) {
  LibraryChoice choice;
  for (const auto& path : candidates) {
    LoadAttempt attempt = load_simconnect(path);
    if (attempt.api) {
      choice.found = FoundLibrary{path, *attempt.api};
      break;
    }
    if (attempt.is_file) choice.unusable.push_back(attempt.unusable);
  }
  return choice;
}

LibraryChoice find_simconnect() {
  return choose_simconnect(build_candidates(platform::executable_path(), platform::environment_variable("MSFS_SDK"),
                                            platform::environment_variable("MSFS2024_SDK"),
                                            platform::fixed_sdk_folders()));
}

// ---- Messages and samples -------------------------------------------------

MessageReading read_message(const void* message, std::uint32_t size) {
  MessageReading reading;
  if (!message || size < MESSAGE_MIN_SIZE) return reading;
  const auto* bytes = static_cast<const std::uint8_t*>(message);
  std::uint32_t id = platform::read_u32_le(bytes + MESSAGE_ID_OFFSET);
  if (id == MESSAGE_ID_QUIT) {
    reading.kind = MessageKind::quit;
  } else if (id == MESSAGE_ID_EXCEPTION && size >= MESSAGE_EXCEPTION_MIN_SIZE) {
    reading.kind = MessageKind::exception;
    reading.exception = platform::read_u32_le(bytes + MESSAGE_EXCEPTION_OFFSET);
  } else if (id == MESSAGE_ID_OBJECT_DATA && size >= OBJECT_DATA_MIN_SIZE &&
             platform::read_u32_le(bytes + MESSAGE_REQUEST_OFFSET) == REQUEST_ID) {
    reading.kind = MessageKind::sample;
    // The values are little-endian IEEE doubles, as on every machine this runs on.
    std::memcpy(reading.values.data(), bytes + MESSAGE_VALUES_OFFSET, sizeof reading.values);
    if (size >= OBJECT_DATA_EFB_SIZE) {
      reading.efb.emplace();
      std::memcpy(reading.efb->data(), bytes + OBJECT_DATA_MIN_SIZE, sizeof(EfbSample));
    }
  } else if (id == MESSAGE_ID_EVENT && size >= MESSAGE_EVENT_MIN_SIZE) {
    std::uint32_t event = platform::read_u32_le(bytes + MESSAGE_EVENT_ID_OFFSET);
    if (event == SIM_START_EVENT_ID) reading.kind = MessageKind::flight_started;
    if (event == SIM_STOP_EVENT_ID) reading.kind = MessageKind::flight_stopped;
  } else if (id == MESSAGE_ID_SYSTEM_STATE && size >= MESSAGE_EVENT_MIN_SIZE &&
             platform::read_u32_le(bytes + MESSAGE_REQUEST_OFFSET) == SIM_STATE_REQUEST_ID) {
    reading.kind = MessageKind::flight_state;
    reading.flying = platform::read_u32_le(bytes + MESSAGE_STATE_VALUE_OFFSET) != 0;
  } else if (id == MESSAGE_ID_OBJECT_DATA_BY_TYPE && size >= TRAFFIC_DATA_MIN_SIZE &&
             platform::read_u32_le(bytes + MESSAGE_REQUEST_OFFSET) == TRAFFIC_REQUEST_ID) {
    reading.kind = MessageKind::traffic;
    TrafficSample& sample = reading.traffic;
    sample.object = platform::read_u32_le(bytes + MESSAGE_OBJECT_OFFSET);
    std::memcpy(sample.numbers.data(), bytes + MESSAGE_VALUES_OFFSET, sizeof sample.numbers);
    // A text field may lack its zero: it ends with the field, never beyond.
    const char* text = reinterpret_cast<const char*>(bytes + MESSAGE_VALUES_OFFSET + sizeof sample.numbers);
    sample.atc_id.assign(text, strnlen(text, TRAFFIC_TEXT_SIZE));
    sample.atc_model.assign(text + TRAFFIC_TEXT_SIZE, strnlen(text + TRAFFIC_TEXT_SIZE, TRAFFIC_TEXT_SIZE));
  }
  return reading;
}

// ---- In a flight or in the menus -------------------------------------------

FlightState next_flight_state(FlightState state, const MessageReading& reading) {
  switch (reading.kind) {
    case MessageKind::flight_started:
      return FlightState::flying;
    case MessageKind::flight_stopped:
      return FlightState::in_menus;
    case MessageKind::flight_state:
      if (state != FlightState::unknown) return state;
      return reading.flying ? FlightState::flying : FlightState::in_menus;
    default:
      return state;
  }
}

// ---- Refusals ------------------------------------------------------------

namespace {

// SIMCONNECT_EXCEPTION as SimConnect's documentation lists it, in code order
// from 0 (MSFS 2024 SDK; MSFS 2020's list is the same as far as it goes).
constexpr const char* EXCEPTION_NAMES[] = {
    "SIMCONNECT_EXCEPTION_NONE",
    "SIMCONNECT_EXCEPTION_ERROR",
    "SIMCONNECT_EXCEPTION_SIZE_MISMATCH",
    "SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID",
    "SIMCONNECT_EXCEPTION_UNOPENED",
    "SIMCONNECT_EXCEPTION_VERSION_MISMATCH",
    "SIMCONNECT_EXCEPTION_TOO_MANY_GROUPS",
    "SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED",
    "SIMCONNECT_EXCEPTION_TOO_MANY_EVENT_NAMES",
    "SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE",
    "SIMCONNECT_EXCEPTION_TOO_MANY_MAPS",
    "SIMCONNECT_EXCEPTION_TOO_MANY_OBJECTS",
    "SIMCONNECT_EXCEPTION_TOO_MANY_REQUESTS",
    "SIMCONNECT_EXCEPTION_WEATHER_INVALID_PORT",
    "SIMCONNECT_EXCEPTION_WEATHER_INVALID_METAR",
    "SIMCONNECT_EXCEPTION_WEATHER_UNABLE_TO_GET_OBSERVATION",
    "SIMCONNECT_EXCEPTION_WEATHER_UNABLE_TO_CREATE_STATION",
    "SIMCONNECT_EXCEPTION_WEATHER_UNABLE_TO_REMOVE_STATION",
    "SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE",
    "SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE",
    "SIMCONNECT_EXCEPTION_DATA_ERROR",
    "SIMCONNECT_EXCEPTION_INVALID_ARRAY",
    "SIMCONNECT_EXCEPTION_CREATE_OBJECT_FAILED",
    "SIMCONNECT_EXCEPTION_LOAD_FLIGHTPLAN_FAILED",
    "SIMCONNECT_EXCEPTION_OPERATION_INVALID_FOR_OBJECT_TYPE",
    "SIMCONNECT_EXCEPTION_ILLEGAL_OPERATION",
    "SIMCONNECT_EXCEPTION_ALREADY_SUBSCRIBED",
    "SIMCONNECT_EXCEPTION_INVALID_ENUM",
    "SIMCONNECT_EXCEPTION_DEFINITION_ERROR",
    "SIMCONNECT_EXCEPTION_DUPLICATE_ID",
    "SIMCONNECT_EXCEPTION_DATUM_ID",
    "SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS",
    "SIMCONNECT_EXCEPTION_ALREADY_CREATED",
    "SIMCONNECT_EXCEPTION_OBJECT_OUTSIDE_REALITY_BUBBLE",
    "SIMCONNECT_EXCEPTION_OBJECT_CONTAINER",
    "SIMCONNECT_EXCEPTION_OBJECT_AI",
    "SIMCONNECT_EXCEPTION_OBJECT_ATC",
    "SIMCONNECT_EXCEPTION_OBJECT_SCHEDULE",
    "SIMCONNECT_EXCEPTION_JETWAY_DATA",
    "SIMCONNECT_EXCEPTION_ACTION_NOT_FOUND",
    "SIMCONNECT_EXCEPTION_NOT_AN_ACTION",
    "SIMCONNECT_EXCEPTION_INCORRECT_ACTION_PARAMS",
    "SIMCONNECT_EXCEPTION_GET_INPUT_EVENT_FAILED",
    "SIMCONNECT_EXCEPTION_SET_INPUT_EVENT_FAILED",
    "SIMCONNECT_EXCEPTION_EVENT_NAME_RESERVED",
    "SIMCONNECT_EXCEPTION_INTERNAL",
    "SIMCONNECT_EXCEPTION_CAMERA_API",
};

}  // namespace

const char* simconnect_exception_name(std::uint32_t code) {
  return code < std::size(EXCEPTION_NAMES) ? EXCEPTION_NAMES[code] : nullptr;
}

std::string refusal_line(std::uint32_t code) {
  const char* name = simconnect_exception_name(code);
  return std::string("… MSFS: the simulator refused a request") + (name ? std::string(": ") + name : "") +
         " (SimConnect exception " + std::to_string(code) + ")\n";
}

std::optional<std::string> note_refusal(RefusalLog& log, std::uint32_t code) {
  if (log.told.size() >= MAX_REFUSALS_TOLD || std::find(log.told.begin(), log.told.end(), code) != log.told.end())
    return std::nullopt;
  log.told.push_back(code);
  return refusal_line(code);
}

bool near_zero(double lat, double lon) {
  return std::fabs(lat) < NEAR_ZERO_DEGREES && std::fabs(lon) < NEAR_ZERO_DEGREES;
}

ConvertedSample convert_sample(const RawSample& raw) {
  ConvertedSample values{};
  for (std::size_t row = 0; row < VALUE_COUNT; ++row) values[row] = raw[row] * MSFS_VARIABLES[row].scale;
  // Any "on ground" value but exactly 0.0 (NaN too) means on the ground.
  if (raw[SIM_ON_GROUND_ROW] != 0.0) values[index_of(Value::AGL)] = 0.0;
  return values;
}

bool store_sample(LiveStateHolder& holder, const RawSample& raw, const std::optional<EfbSample>& efb) {
  if (near_zero(raw[index_of(Value::LAT)], raw[index_of(Value::LON)])) return false;
  ConvertedSample values = convert_sample(raw);
  std::lock_guard<std::mutex> lock(holder.mutex);
  LiveState& record = holder.record;
  record.sim = SimKind::msfs;  // every value is overwritten next, so nothing of another feed survives
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) record.values[i] = values[i];
  for (auto& value : record.efb) value.reset();
  if (efb) {
    for (std::size_t i = 0; i < efb->size(); ++i) record.efb[i] = (*efb)[i] * MSFS_EFB_VARIABLES[i].scale;
    record.efb[index_of(EfbValue::ON_GROUND)] = raw[SIM_ON_GROUND_ROW] != 0.0 ? 1.0 : 0.0;
  }
  mark_updated(record);
  record_track_point(holder);
  return true;
}

std::string model_type(std::string_view atc_model) {
  constexpr std::string_view MARK = "AC_MODEL";
  auto at = atc_model.find(MARK);
  if (at != std::string_view::npos) {
    std::string_view rest = atc_model.substr(at + MARK.size());
    if (!rest.empty() && (rest.front() == '_' || rest.front() == ' ')) rest.remove_prefix(1);
    atc_model = rest.substr(0, rest.find('.'));
  }
  return printable_text(atc_model, AIRCRAFT_TYPE_MAX);
}

std::optional<TrafficAircraft> convert_traffic(const TrafficSample& sample, TrafficInstant now, std::uint64_t t) {
  const auto& n = sample.numbers;
  if (n[T_IS_USER] != 0.0) return std::nullopt;  // NaN too: never risk showing the user as traffic
  if (!std::isfinite(n[T_LAT]) || !std::isfinite(n[T_LON]) || near_zero(n[T_LAT], n[T_LON])) return std::nullopt;
  auto known = [](double value, double scale) -> std::optional<double> {
    if (!std::isfinite(value)) return std::nullopt;
    return value * scale;
  };
  TrafficAircraft aircraft;
  aircraft.key = {TrafficSource::msfs, sample.object};
  aircraft.lat = n[T_LAT];
  aircraft.lon = n[T_LON];
  aircraft.alt = known(n[T_ALT], FEET_TO_METRES);
  aircraft.hdg = known(n[T_HDG], 1);
  aircraft.gs = known(n[T_GS], KNOTS_TO_METRES_PER_SECOND);
  aircraft.vs = known(n[T_VS], 1);
  if (std::isfinite(n[T_ON_GROUND])) aircraft.on_ground = n[T_ON_GROUND] != 0.0;
  aircraft.callsign = printable_text(sample.atc_id, CALLSIGN_MAX);
  aircraft.type = model_type(sample.atc_model);
  aircraft.last_seen = now;
  aircraft.t = t;
  return aircraft;
}

bool store_traffic(LiveStateHolder& holder, const TrafficSample& sample) {
  Instant now = MonotonicClock::now();
  auto aircraft = convert_traffic(sample, now, wall_clock_millis(WallClock::now()));
  if (!aircraft) return false;
  std::lock_guard<std::mutex> lock(holder.mutex);
  report_traffic(holder.traffic, std::move(*aircraft), own_position(holder.record));
  return true;
}

bool silence_exceeded(Instant last_data, Instant now, MonotonicClock::duration limit) {
  if (now < last_data) return false;
  return now - last_data > limit;
}

// ---- Running --------------------------------------------------------------

namespace {

SimConnectHandle open_connection(const SimConnectApi& api) {
  SimConnectHandle handle = nullptr;
  std::int32_t status = api.open(&handle, CLIENT_NAME, nullptr, 0, nullptr, 0);
  return status < 0 ? nullptr : handle;
}

bool register_variable(const SimConnectApi& api, SimConnectHandle handle, const SimVariable& variable) {
  return api.add_to_data_definition(handle, DEFINITION_ID, variable.name, variable.unit, DATA_TYPE_FLOAT64, 0.0f,
                                    UNUSED_DATUM_ID) >= 0;
}

bool register_variables(const SimConnectApi& api, SimConnectHandle handle, bool efb) {
  for (const auto& variable : MSFS_VARIABLES)
    if (!register_variable(api, handle, variable)) return false;
  if (efb)
    for (const auto& variable : MSFS_EFB_VARIABLES)
      if (!register_variable(api, handle, variable)) return false;
  return true;
}

// Asks to hear when a flight starts or stops, and whether one runs now.
bool watch_flight(const SimConnectApi& api, SimConnectHandle handle) {
  return api.subscribe_to_system_event(handle, SIM_START_EVENT_ID, SIM_START_EVENT_NAME) >= 0 &&
         api.subscribe_to_system_event(handle, SIM_STOP_EVENT_ID, SIM_STOP_EVENT_NAME) >= 0 &&
         api.request_system_state(handle, SIM_STATE_REQUEST_ID, SIM_STATE_NAME) >= 0;
}

// Traffic is extra: a library without the call, or a refused registration,
// leaves the connection serving the user's aircraft alone.
bool register_traffic(const SimConnectApi& api, SimConnectHandle handle) {
  if (!api.request_data_on_sim_object_type) return false;
  for (const auto& variable : MSFS_TRAFFIC_VARIABLES)
    if (api.add_to_data_definition(handle, TRAFFIC_DEFINITION_ID, variable.name, variable.unit, variable.data_type,
                                   0.0f, UNUSED_DATUM_ID) < 0)
      return false;
  return true;
}

bool request_data(const SimConnectApi& api, SimConnectHandle handle) {
  return api.request_data_on_sim_object(handle, REQUEST_ID, DEFINITION_ID, USER_AIRCRAFT_OBJECT, PERIOD_VISUAL_FRAME, 0,
                                        0, REQUEST_INTERVAL, 0) >= 0;
}

// Drains the queue without sleeping; sleeps only while it is empty.
SessionEnd dispatch_until_end(const SimConnectApi& api, SimConnectHandle handle, LiveStateHolder& holder,
                              const FeedTiming& timing, RefusalLog& refusals, bool traffic) {
  LoopClock& clock = *timing.clock;
  Instant last_data = clock.now();
  std::optional<Instant> last_traffic_request;
  FlightState flight = FlightState::unknown;  // each connection asks afresh
  for (;;) {
    if (traffic && (!last_traffic_request || clock.now() - *last_traffic_request >= timing.traffic_interval)) {
      // A refusal waits for the next turn; the connection stays.
      api.request_data_on_sim_object_type(handle, TRAFFIC_REQUEST_ID, TRAFFIC_DEFINITION_ID, TRAFFIC_RADIUS_METRES,
                                          SIMOBJECT_TYPE_AIRCRAFT);
      last_traffic_request = clock.now();
    }
    void* message = nullptr;
    std::uint32_t size = 0;
    if (api.get_next_dispatch(handle, &message, &size) < 0 || !message) {
      if (silence_exceeded(last_data, clock.now(), timing.silence_limit)) return SessionEnd::silence;
      clock.sleep_for(timing.poll_interval);
      continue;
    }
    MessageReading reading = read_message(message, size);
    flight = next_flight_state(flight, reading);
    if (reading.kind == MessageKind::quit) return SessionEnd::quit;
    if (reading.kind == MessageKind::exception) {
      // Said once; the feed goes on (silence still ends a connection that no longer gets data).
      if (auto line = note_refusal(refusals, reading.exception))
        platform::write_console(platform::ConsoleStream::out, *line);
    }
    // The menus' world has no traffic either.
    if (reading.kind == MessageKind::traffic && keeps_samples(flight)) store_traffic(holder, reading.traffic);
    if (reading.kind == MessageKind::sample) {
      last_data = clock.now();  // a near-zero sample or one from the menus keeps the connection too
      if (keeps_samples(flight)) store_sample(holder, reading.values, reading.efb);
    }
  }
}

}  // namespace

SessionEnd run_session(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing,
                       RefusalLog* refusals) {
  SimConnectHandle handle = open_connection(api);
  if (!handle) return SessionEnd::open_failed;
  RefusalLog session_log;
  SessionEnd end = SessionEnd::setup_failed;
  if (register_variables(api, handle, timing.efb) && watch_flight(api, handle) && request_data(api, handle)) {
    bool traffic = register_traffic(api, handle);
    end = dispatch_until_end(api, handle, holder, timing, refusals ? *refusals : session_log, traffic);
  }
  api.close(handle);
  return end;
}

void run_connection_loop(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing) {
  RefusalLog refusals;  // once per run, across connections
  for (;;) {
    run_session(api, holder, timing, &refusals);
    timing.clock->sleep_for(timing.reconnect_delay);
  }
}

void run_msfs_feed(SharedState holder, bool efb) {
  LibraryChoice choice = find_simconnect();
  for (const auto& line : search_lines(choice)) platform::write_console(platform::ConsoleStream::out, line);
  if (!choice.found) return;
  FeedTiming timing;
  timing.efb = efb;
  run_connection_loop(choice.found->api, *holder, timing);
}

}  // namespace tavrik
