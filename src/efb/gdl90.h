// GDL 90, as the FAA's public interface document defines it, with the two
// messages of ForeFlight's published extension (ID and AHRS). Pure encoders:
// each returns one whole frame, flags, byte stuffing and check included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

constexpr std::uint8_t GDL90_FLAG = 0x7E;
constexpr std::uint8_t GDL90_ESCAPE = 0x7D;

// The frame check: CRC-CCITT (polynomial 0x1021, start 0) over the message
// ID and data, as the document's table-driven routine computes it.
std::uint16_t gdl90_crc(std::string_view message);

// Flag, the message with its check appended low byte first, every 0x7D and
// 0x7E in both escaped as 0x7D and the byte XOR 0x20, flag.
std::string gdl90_frame(std::string_view message);

// Heartbeat (ID 0).
struct Heartbeat {
  bool position_valid = false;               // status byte 1, bit 7
  bool utc_ok = true;                        // status byte 2, bit 0
  std::uint32_t seconds_since_midnight = 0;  // UTC, 0 to 86399 (17 bits carried)
};
std::string encode_heartbeat(const Heartbeat& heartbeat);

// Ownship (ID 10) or traffic (ID 20) report, in the document's units. Absent
// values are sent as the document's "not available" codes.
struct PositionReport {
  std::uint8_t id = 10;
  std::uint8_t address_type = 1;          // 0: ICAO address, 1: self-assigned
  std::uint32_t address = 0;              // 24 bits
  double lat = 0, lon = 0;                // degrees; 0 and 0 with NIC 0 when there is no fix
  std::optional<double> pressure_alt_ft;  // 0xFFF when absent or beyond -1000..101350 ft
  bool airborne = false;
  bool extrapolated = false;
  std::uint8_t track_type = 0;  // 0 invalid, 1 true track, 2 magnetic heading, 3 true heading
  std::uint8_t nic = 0, nacp = 0;
  std::optional<double> speed_kt;      // 0xFFF when absent
  std::optional<double> vertical_fpm;  // 0x800 when absent
  double track_deg = 0;
  std::uint8_t emitter = 0;
  std::string callsign;  // its first 8 of 0-9, A-Z and space (a-z upper-cased, others left out); padded with spaces
  std::uint8_t priority = 0;
};
std::string encode_position_report(const PositionReport& report);

// Ownship Geometric Altitude (ID 11): 5 ft steps; vertical figure of merit in
// metres (absent: 0x7FFF, not available).
std::string encode_geometric_altitude(double alt_ft, std::optional<std::uint16_t> vfom_m);

// ForeFlight ID (0x65, sub-ID 0): version 1, no serial number, the short
// (8-byte) and long (16-byte) names, the capability mask (bit 0: geometric
// altitude is MSL).
std::string encode_foreflight_id(std::string_view name, std::string_view long_name, bool geometric_msl);

// ForeFlight AHRS (0x65, sub-ID 1): roll (positive right wing down) and pitch
// (positive nose up) in 0.1°, true heading in 0.1°, indicated airspeed in kt;
// absent values as the page's "invalid" codes.
struct Ahrs {
  std::optional<double> roll_deg, pitch_deg, heading_deg, ias_kt;
};
std::string encode_foreflight_ahrs(const Ahrs& ahrs);

// Undoes gdl90_frame: the message without its check, or nothing when the
// flags, escapes or check are wrong. For tests and tools.
std::optional<std::string> gdl90_unframe(std::string_view frame);

}  // namespace tavrik
