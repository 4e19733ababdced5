#include "msfs/msfs_feed.h"

#include <cmath>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/platform.h"

namespace tavrik {

const char* const NOT_FOUND_LINE =
    "… MSFS: SimConnect.dll not found — put it next to this .exe (from the MSFS SDK: SimConnect SDK\\lib)\n";

std::string found_line(const std::string& path) { return "→ MSFS: SimConnect from " + path + "\n"; }

// ---- Finding the library --------------------------------------------------

namespace {

std::string sdk_library_path(const std::string& folder) {
  return platform::join_path(platform::join_path(platform::join_path(folder, "SimConnect SDK"), "lib"),
                             SIMCONNECT_FILE);
}

template <typename Fn>
bool resolve(platform::LibraryHandle library, const char* name, Fn* out) {
  platform::SymbolAddress address = platform::find_symbol(library, name);
  if (!address) return false;
  *out = reinterpret_cast<Fn>(address);
  return true;
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

std::optional<SimConnectApi> load_simconnect(const std::string& path) {
  if (!platform::is_regular_file(path)) return std::nullopt;
  platform::LibraryHandle library = platform::load_library(path);
  if (!library) return std::nullopt;
  // Resolved in this order, stopping at the first missing name.
  SimConnectApi api;
  if (resolve(library, SIMCONNECT_OPEN, &api.open) && resolve(library, SIMCONNECT_CLOSE, &api.close) &&
      resolve(library, SIMCONNECT_ADD_TO_DATA_DEFINITION, &api.add_to_data_definition) &&
      resolve(library, SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT, &api.request_data_on_sim_object) &&
      resolve(library, SIMCONNECT_GET_NEXT_DISPATCH, &api.get_next_dispatch))
    return api;
  return std::nullopt;
}

std::optional<FoundLibrary> choose_simconnect(const std::vector<std::string>& candidates) {
  for (const auto& path : candidates)
    if (auto api = load_simconnect(path)) return FoundLibrary{path, *api};
  return std::nullopt;
}

std::optional<FoundLibrary> find_simconnect() {
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
  } else if (id == MESSAGE_ID_OBJECT_DATA && size >= OBJECT_DATA_MIN_SIZE &&
             platform::read_u32_le(bytes + MESSAGE_REQUEST_OFFSET) == REQUEST_ID) {
    reading.kind = MessageKind::sample;
    // The values are little-endian IEEE doubles, as on every machine this runs on.
    std::memcpy(reading.values.data(), bytes + MESSAGE_VALUES_OFFSET, sizeof reading.values);
  }
  return reading;
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

bool store_sample(LiveStateHolder& holder, const RawSample& raw) {
  if (near_zero(raw[index_of(Value::LAT)], raw[index_of(Value::LON)])) return false;
  ConvertedSample values = convert_sample(raw);
  std::lock_guard<std::mutex> lock(holder.mutex);
  LiveState& record = holder.record;
  record.sim = SimKind::msfs;  // every value is overwritten next, so nothing of another feed survives
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) record.values[i] = values[i];
  mark_updated(record);
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

bool register_variables(const SimConnectApi& api, SimConnectHandle handle) {
  for (const auto& variable : MSFS_VARIABLES)
    if (api.add_to_data_definition(handle, DEFINITION_ID, variable.name, variable.unit, DATA_TYPE_FLOAT64, 0.0f,
                                   UNUSED_DATUM_ID) < 0)
      return false;
  return true;
}

bool request_data(const SimConnectApi& api, SimConnectHandle handle) {
  return api.request_data_on_sim_object(handle, REQUEST_ID, DEFINITION_ID, USER_AIRCRAFT_OBJECT, PERIOD_VISUAL_FRAME, 0,
                                        0, REQUEST_INTERVAL, 0) >= 0;
}

// Drains the queue without sleeping; sleeps only while it is empty.
SessionEnd dispatch_until_end(const SimConnectApi& api, SimConnectHandle handle, LiveStateHolder& holder,
                              const FeedTiming& timing) {
  LoopClock& clock = *timing.clock;
  Instant last_data = clock.now();
  for (;;) {
    void* message = nullptr;
    std::uint32_t size = 0;
    if (api.get_next_dispatch(handle, &message, &size) < 0 || !message) {
      if (silence_exceeded(last_data, clock.now(), timing.silence_limit)) return SessionEnd::silence;
      clock.sleep_for(timing.poll_interval);
      continue;
    }
    MessageReading reading = read_message(message, size);
    if (reading.kind == MessageKind::quit) return SessionEnd::quit;
    if (reading.kind == MessageKind::sample) {
      last_data = clock.now();  // a near-zero sample keeps the connection too
      store_sample(holder, reading.values);
    }
  }
}

}  // namespace

SessionEnd run_session(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing) {
  SimConnectHandle handle = open_connection(api);
  if (!handle) return SessionEnd::open_failed;
  SessionEnd end = SessionEnd::setup_failed;
  if (register_variables(api, handle) && request_data(api, handle))
    end = dispatch_until_end(api, handle, holder, timing);
  api.close(handle);
  return end;
}

void run_connection_loop(const SimConnectApi& api, LiveStateHolder& holder, const FeedTiming& timing) {
  for (;;) {
    run_session(api, holder, timing);
    timing.clock->sleep_for(timing.reconnect_delay);
  }
}

void run_msfs_feed(SharedState holder) {
  std::optional<FoundLibrary> library = find_simconnect();
  if (!library) {
    platform::write_console(platform::ConsoleStream::out, NOT_FOUND_LINE);
    return;
  }
  platform::write_console(platform::ConsoleStream::out, found_line(library->path));
  run_connection_loop(library->api, *holder, FeedTiming{});
}

}  // namespace tavrik
