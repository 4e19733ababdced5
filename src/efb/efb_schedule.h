// What the EFB feed sends at a given instant, decided from a copy of the
// shared record and the time passed in; no socket, no clock, no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "efb/gdl90.h"
#include "state/live_state.h"
#include "state/traffic.h"

namespace tavrik {

// Fresh data goes out once this much has passed since the last report, so
// the reports follow the simulator's 5 Hz (and never exceed about 6 Hz)...
constexpr auto OWNSHIP_EARLIEST = std::chrono::milliseconds(160);
// ...and the last values again after this without new data: a report a
// little late from the simulator must not be beaten by a stale one, which
// would hold the fresh one back by most of a period.
constexpr auto OWNSHIP_LATEST = std::chrono::milliseconds(250);
constexpr std::uint32_t OWNSHIP_ADDRESS = 0xF0A7B1;  // self-assigned: the bridge has no ICAO address
constexpr std::uint8_t EXACT_NIC = 11;               // containment < 7.5 m: a simulator's position is exact
constexpr std::uint8_t EXACT_NACP = 11;              // accuracy < 3 m
constexpr std::uint16_t EXACT_VFOM_M = 3;
constexpr const char* EFB_DEVICE_NAME = "tavrik";
constexpr const char* EFB_DEVICE_LONG_NAME = "Velmara tavrik";

// What the schedule remembers between calls; starts empty.
struct EfbSchedule {
  std::optional<std::int64_t> last_second;  // the UTC second of the last heartbeat
  std::optional<Instant> last_ownship;
  std::uint64_t last_count = 0;  // update_count of the last ownship report
};

// Datagrams due now: GDL 90 frames (each one datagram) and sentences.
struct EfbBatch {
  std::vector<std::string> gdl90;
  std::vector<std::string> sentences;
  bool empty() const { return gdl90.empty() && sentences.empty(); }
};

// Once each UTC second: heartbeat and ForeFlight ID, then, live, XGPS, or,
// not live, the Ownship Report of a device without a position fix; then,
// live, a Traffic Report and an XTRAFFIC sentence for each of `traffic`. While live,
// when the record has changed and OWNSHIP_EARLIEST has passed (or, unchanged,
// OWNSHIP_LATEST): Ownship Report, Geometric Altitude, AHRS and XATT.
// `traffic` is read only at a second's turn (see second_due).
EfbBatch due_messages(EfbSchedule& schedule, const LiveState& record, const std::vector<TrafficAircraft>& traffic,
                      Instant now, WallClock::time_point wall_now);

// Whether `wall_now` begins a new UTC second for `schedule`: the feed copies
// the traffic out of the shared record only then.
bool second_due(const EfbSchedule& schedule, WallClock::time_point wall_now);

// The Ownship Report of `record` (live) or of no fix (`record` null).
PositionReport ownship_report(const LiveState* record);

// The address an aircraft goes by in the EFB, the same for as long as its key
// lives. X-Plane's key is the aircraft's Mode S id: sent as an ICAO address.
// MSFS's is an object id, which names no aircraft outside the simulator: it
// is sent as a self-assigned address in MSFS_ADDRESS_FIRST.. + MSFS_ADDRESS_SPAN,
// a part of the F-block no state's aircraft are given (so it meets neither a
// real Mode S id nor OWNSHIP_ADDRESS), one to one for ids below the span.
constexpr std::uint32_t MSFS_ADDRESS_FIRST = 0xF10000;
constexpr std::uint32_t MSFS_ADDRESS_SPAN = 0xFF0000 - MSFS_ADDRESS_FIRST;
struct TrafficAddress {
  std::uint8_t type = 0;  // as PositionReport::address_type
  std::uint32_t address = 0;
};
TrafficAddress traffic_address(const TrafficKey& key);

// The Traffic Report of `aircraft`. Its altitude is the ownship report's kind,
// pressure altitude: the aircraft's MSL altitude plus `pressure_offset_ft`,
// the user's pressure altitude less the user's MSL altitude, so that the app's
// difference of the two pressure altitudes is the true height difference.
PositionReport traffic_report(const TrafficAircraft& aircraft, double pressure_offset_ft);

}  // namespace tavrik
