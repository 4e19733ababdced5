#include "efb/efb_schedule.h"

#include <cmath>

#include "efb/sentences.h"

namespace tavrik {
namespace {

constexpr double METRES_TO_FEET = 1 / 0.3048;
constexpr double MPS_TO_KNOTS = 3600.0 / 1852.0;

std::optional<double> finite(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? value : std::nullopt;
}

std::optional<double> efb_value(const LiveState& record, EfbValue which) { return finite(record.efb[index_of(which)]); }

bool airborne(const LiveState& record) {
  if (auto on_ground = efb_value(record, EfbValue::ON_GROUND)) return *on_ground == 0.0;
  auto agl = finite(record.values[Value::AGL]);
  return agl && *agl > 0.0;  // without the simulator's word: off the ground by height
}

// The user's pressure altitude less MSL altitude, in feet; 0, as in the
// standard atmosphere, while either is unknown.
double pressure_offset_ft(const LiveState& record) {
  auto pressure = efb_value(record, EfbValue::PRESSURE_ALT);
  auto msl = finite(record.values[Value::ALT]);
  if (!pressure || !msl) return 0;
  return *pressure - *msl * METRES_TO_FEET;
}

void add_traffic(EfbBatch& batch, const std::vector<TrafficAircraft>& traffic, double pressure_offset) {
  for (const auto& aircraft : traffic) {
    PositionReport report = traffic_report(aircraft, pressure_offset);
    batch.gdl90.push_back(encode_position_report(report));
    auto alt = finite(aircraft.alt);
    if (!alt) continue;  // the sentence has no word for an unknown altitude
    batch.sentences.push_back(xtraffic_sentence(
        {report.address, aircraft.lat, aircraft.lon, *alt * METRES_TO_FEET, finite(aircraft.vs).value_or(0),
         report.airborne, finite(aircraft.hdg).value_or(0), report.speed_kt.value_or(0), aircraft.callsign}));
  }
}

void add_live_reports(EfbBatch& batch, const LiveState& record) {
  batch.gdl90.push_back(encode_position_report(ownship_report(&record)));
  if (auto alt = finite(record.values[Value::ALT]))
    batch.gdl90.push_back(encode_geometric_altitude(*alt * METRES_TO_FEET, EXACT_VFOM_M));
  auto pitch = efb_value(record, EfbValue::PITCH);
  auto roll = efb_value(record, EfbValue::ROLL);
  auto hdg = finite(record.values[Value::HDG]);
  batch.gdl90.push_back(encode_foreflight_ahrs({roll, pitch, hdg, finite(record.values[Value::IAS])}));
  if (pitch && roll && hdg) batch.sentences.push_back(xatt_sentence(*hdg, *pitch, *roll));
}

}  // namespace

PositionReport ownship_report(const LiveState* record) {
  PositionReport report;
  report.address = OWNSHIP_ADDRESS;
  if (!record) return report;  // no fix: position and NIC zero, nothing else known
  auto lat = finite(record->values[Value::LAT]);
  auto lon = finite(record->values[Value::LON]);
  if (lat && lon) {
    report.lat = *lat;
    report.lon = *lon;
    report.nic = EXACT_NIC;
    report.nacp = EXACT_NACP;
  }
  report.pressure_alt_ft = efb_value(*record, EfbValue::PRESSURE_ALT);
  report.airborne = airborne(*record);
  if (auto gs = finite(record->values[Value::GS])) report.speed_kt = *gs * MPS_TO_KNOTS;
  report.vertical_fpm = finite(record->values[Value::VS]);
  if (auto hdg = finite(record->values[Value::HDG])) {
    report.track_deg = *hdg;
    report.track_type = 3;  // true heading
  }
  return report;
}

TrafficAddress traffic_address(const TrafficKey& key) {
  if (key.source == TrafficSource::xp) return {0, key.id & 0xFFFFFF};
  return {1, MSFS_ADDRESS_FIRST + key.id % MSFS_ADDRESS_SPAN};
}

PositionReport traffic_report(const TrafficAircraft& aircraft, double pressure_offset_ft) {
  PositionReport report;
  report.id = 20;
  auto [type, address] = traffic_address(aircraft.key);
  report.address_type = type;
  report.address = address;
  report.lat = aircraft.lat;
  report.lon = aircraft.lon;
  report.nic = EXACT_NIC;
  report.nacp = EXACT_NACP;
  if (auto alt = finite(aircraft.alt)) report.pressure_alt_ft = *alt * METRES_TO_FEET + pressure_offset_ft;
  report.airborne = !aircraft.on_ground.value_or(false);  // unknown: shown as flying, not hidden as on the ground
  if (auto gs = finite(aircraft.gs)) report.speed_kt = *gs * MPS_TO_KNOTS;
  report.vertical_fpm = finite(aircraft.vs);
  if (auto hdg = finite(aircraft.hdg)) {
    report.track_deg = *hdg;
    report.track_type = 3;  // true heading
  }
  report.callsign = aircraft.callsign;
  return report;
}

bool second_due(const EfbSchedule& schedule, WallClock::time_point wall_now) {
  return schedule.last_second != std::chrono::floor<std::chrono::seconds>(wall_now.time_since_epoch()).count();
}

EfbBatch due_messages(EfbSchedule& schedule, const LiveState& record, const std::vector<TrafficAircraft>& traffic,
                      Instant now, WallClock::time_point wall_now) {
  EfbBatch batch;
  bool live = is_live(record, now);
  auto second = std::chrono::floor<std::chrono::seconds>(wall_now.time_since_epoch()).count();
  if (second_due(schedule, wall_now)) {
    schedule.last_second = second;
    auto of_day = static_cast<std::uint32_t>(((second % 86400) + 86400) % 86400);
    batch.gdl90.push_back(encode_heartbeat({live, true, of_day}));
    batch.gdl90.push_back(encode_foreflight_id(EFB_DEVICE_NAME, EFB_DEVICE_LONG_NAME, true));
    if (!live) batch.gdl90.push_back(encode_position_report(ownship_report(nullptr)));
    auto lat = finite(record.values[Value::LAT]), lon = finite(record.values[Value::LON]);
    if (live && lat && lon)
      batch.sentences.push_back(xgps_sentence(*lon, *lat, finite(record.values[Value::ALT]).value_or(0),
                                              finite(record.values[Value::HDG]).value_or(0),
                                              finite(record.values[Value::GS]).value_or(0)));
    if (live) add_traffic(batch, traffic, pressure_offset_ft(record));  // it comes and goes with the simulator
  }
  if (!live) return batch;
  auto since = schedule.last_ownship ? now - *schedule.last_ownship : OWNSHIP_LATEST;
  bool fresh = record.update_count != schedule.last_count;
  if (since >= OWNSHIP_LATEST || (fresh && since >= OWNSHIP_EARLIEST)) {
    schedule.last_ownship = now;
    schedule.last_count = record.update_count;
    add_live_reports(batch, record);
  }
  return batch;
}

}  // namespace tavrik
