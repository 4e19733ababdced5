// The other aircraft around the user's, as the simulators report them: one
// plain record per aircraft, keyed by the simulator's own lasting id, with
// the time its data last came. Guarded by the LiveState mutex; a reader
// copies the list out under the lock and formats after releasing it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

using TrafficInstant = std::chrono::steady_clock::time_point;

// Which simulator reported the aircraft: ids of the two never mix.
enum class TrafficSource : std::uint8_t { xp = 0, msfs = 1 };

struct TrafficKey {
  TrafficSource source = TrafficSource::xp;
  std::uint32_t id = 0;  // X-Plane: the Mode S id (24 bits); MSFS: the object id
  auto operator<=>(const TrafficKey&) const = default;
};

constexpr std::size_t TRAFFIC_MAX = 200;                       // the nearest kept beyond it
constexpr auto TRAFFIC_GONE_AFTER = std::chrono::seconds(10);  // unseen this long: gone
constexpr std::size_t CALLSIGN_MAX = 12;                       // MSFS tail numbers run to 12
constexpr std::size_t AIRCRAFT_TYPE_MAX = 8;

struct TrafficAircraft {
  TrafficKey key;
  double lat = 0;  // degrees, finite
  double lon = 0;  // degrees, finite
  // Absent when the simulator did not give it (or not a finite value).
  std::optional<double> alt;  // metres MSL
  std::optional<double> hdg;  // degrees true
  std::optional<double> gs;   // m/s
  std::optional<double> vs;   // ft/min
  std::optional<bool> on_ground;
  std::string callsign;  // printable ASCII, at most CALLSIGN_MAX; empty when not given
  std::string type;      // printable ASCII, at most AIRCRAFT_TYPE_MAX; empty when not given
  TrafficInstant last_seen{};
  std::uint64_t t = 0;  // wall clock of its last data, ms since 1970
};

// Ordered by key, one record per key.
struct Traffic {
  std::vector<TrafficAircraft> aircraft;
};

// The user's own position, from which "nearest" is measured.
struct OwnPosition {
  double lat = 0;
  double lon = 0;
};

// Drops every aircraft unseen for TRAFFIC_GONE_AFTER or more at `now`.
void expire_traffic(Traffic& traffic, TrafficInstant now);

// Adds `report` or replaces the record of its key, stamped `report.last_seen`
// (its `now`); the gone ones go first. At TRAFFIC_MAX the farthest from `own`
// goes, the newcomer included; without `own`, the newcomer is not kept.
// A report whose position is not finite is ignored.
void report_traffic(Traffic& traffic, TrafficAircraft report, std::optional<OwnPosition> own);

// The aircraft not gone at `now`, in key order: what a reader takes out under the lock.
std::vector<TrafficAircraft> copy_traffic(const Traffic& traffic, TrafficInstant now);

// {"aircraft":[{"id":"xp-4b1a2c","t":…,"lat":…,"lon":…,"alt":…,"hdg":…,"gs":…,
// "vs":…,"ground":false,"callsign":"…","type":"…"},…]} in the snapshot's
// units and number form; unknown values and empty texts are left out.
std::string traffic_json(const std::vector<TrafficAircraft>& aircraft);

// The printable ASCII of `raw` (0x20 to 0x7E) up to its first zero byte,
// other bytes dropped, spaces trimmed at both ends, at most `max` long.
std::string printable_text(std::string_view raw, std::size_t max);

}  // namespace tavrik
