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
// not live, the Ownship Report of a device without a position fix. While live,
// when the record has changed and OWNSHIP_EARLIEST has passed (or, unchanged,
// OWNSHIP_LATEST): Ownship Report, Geometric Altitude, AHRS and XATT.
EfbBatch due_messages(EfbSchedule& schedule, const LiveState& record, Instant now, WallClock::time_point wall_now);

// The Ownship Report of `record` (live) or of no fix (`record` null).
PositionReport ownship_report(const LiveState* record);

}  // namespace tavrik
