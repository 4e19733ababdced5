// SimConnect messages as the MSFS feed reads them, each in a buffer of exactly
// its size so that any read outside the message is caught, then stored.
//
// Properties: only a quit identifier at offset 8 quits; only a complete
// object-data message for our request is a sample; a sample changes the
// update count exactly when its position is not near zero; the snapshot of
// the result is built without fault. Only a complete by-type message for the
// traffic request is traffic, never the user's own aircraft, and its JSON is
// printable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "msfs/msfs_feed.h"

namespace tavrik {

namespace {

void check(bool property) {
  if (!property) std::abort();
}

std::uint32_t u32_at(const std::uint8_t* bytes, std::size_t offset) {
  return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 | std::uint32_t{bytes[offset + 2]} << 16 |
         std::uint32_t{bytes[offset + 3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto message = std::make_unique<std::uint8_t[]>(size);  // exactly `size`: nothing readable beyond it
  std::memcpy(message.get(), data, size);
  MessageReading reading = read_message(message.get(), static_cast<std::uint32_t>(size));
  message.reset();

  bool has_id = size >= MESSAGE_MIN_SIZE;
  bool quits = has_id && u32_at(data, MESSAGE_ID_OFFSET) == MESSAGE_ID_QUIT;
  bool samples = has_id && size >= OBJECT_DATA_MIN_SIZE && u32_at(data, MESSAGE_ID_OFFSET) == MESSAGE_ID_OBJECT_DATA &&
                 u32_at(data, MESSAGE_REQUEST_OFFSET) == REQUEST_ID;
  check((reading.kind == MessageKind::quit) == quits);
  check((reading.kind == MessageKind::sample) == samples);
  bool traffic = has_id && size >= TRAFFIC_DATA_MIN_SIZE &&
                 u32_at(data, MESSAGE_ID_OFFSET) == MESSAGE_ID_OBJECT_DATA_BY_TYPE &&
                 u32_at(data, MESSAGE_REQUEST_OFFSET) == TRAFFIC_REQUEST_ID;
  check((reading.kind == MessageKind::traffic) == traffic);
  auto aircraft = traffic ? convert_traffic(reading.traffic, TrafficInstant{}, 0) : std::nullopt;
  if (aircraft) {  // never the user's own; texts printable and bounded; the JSON clean
    check(reading.traffic.numbers[T_IS_USER] == 0.0);
    check(aircraft->callsign.size() <= CALLSIGN_MAX && aircraft->type.size() <= AIRCRAFT_TYPE_MAX);
    for (char c : traffic_json({*aircraft})) check(c >= 0x20 && c <= 0x7E);
    TrafficAircraft numbers = *aircraft;  // a callsign or type may well read "inf"
    numbers.callsign.clear(), numbers.type.clear();
    std::string json = traffic_json({numbers});
    check(json.find("nan") == std::string::npos && json.find("inf") == std::string::npos);
  }
  if (reading.kind != MessageKind::sample) return 0;
  check(std::memcmp(reading.values.data(), data + MESSAGE_VALUES_OFFSET, sizeof reading.values) == 0);

  LiveStateHolder holder;
  bool stored = store_sample(holder, reading.values);
  check(stored == !near_zero(reading.values[index_of(Value::LAT)], reading.values[index_of(Value::LON)]));
  check(holder.record.update_count == (stored ? 1u : 0u));
  std::string snapshot = build_live_snapshot(holder.record);
  check(!snapshot.empty() && snapshot.front() == '{' && snapshot.back() == '}');
  check(snapshot.find("nan") == std::string::npos && snapshot.find("inf") == std::string::npos);
  return 0;
}

}  // namespace tavrik
