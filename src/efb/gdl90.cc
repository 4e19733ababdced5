#include "efb/gdl90.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavrik {
namespace {

constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc << 1) ^ ((crc & 0x8000) ? 0x1021 : 0);
    table[i] = static_cast<std::uint16_t>(crc);
  }
  return table;
}
constexpr auto CRC_TABLE = make_crc_table();

void put8(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }
void put16(std::string& out, unsigned value) {
  put8(out, value >> 8);
  put8(out, value);
}
void put24(std::string& out, std::uint32_t value) {
  put8(out, value >> 16);
  put16(out, value);
}

// Rounded to the nearest step and held within [low, high].
long long clamp_steps(double value, double step, long long low, long long high) {
  double steps = std::round(value / step);
  if (!(steps >= static_cast<double>(low))) return low;  // NaN too
  return std::min(static_cast<long long>(steps), high);
}

// Latitude and longitude: 24-bit two's complement, 180/2^23 degrees a step.
std::uint32_t encode_angle24(double degrees) {
  double normal = std::fmod(degrees, 360.0);
  if (normal >= 180.0) normal -= 360.0;
  if (normal < -180.0) normal += 360.0;
  long long steps = clamp_steps(normal, 180.0 / 8388608.0, -8388608, 8388607);
  return static_cast<std::uint32_t>(steps) & 0xFFFFFF;
}

unsigned encode_pressure_alt(std::optional<double> feet) {
  if (!feet || !std::isfinite(*feet)) return 0xFFF;
  double steps = std::round((*feet + 1000.0) / 25.0);
  if (steps < 0 || steps > 0xFFE) return 0xFFF;
  return static_cast<unsigned>(steps);
}

unsigned encode_speed(std::optional<double> knots) {
  if (!knots || !std::isfinite(*knots)) return 0xFFF;
  return static_cast<unsigned>(clamp_steps(std::fabs(*knots), 1.0, 0, 0xFFE));  // 0xFFE: 4094 kt or more
}

unsigned encode_vertical(std::optional<double> fpm) {
  if (!fpm || !std::isfinite(*fpm)) return 0x800;
  long long units = clamp_steps(*fpm, 64.0, -510, 510);  // ±510: beyond ±32,576 ft/min
  return static_cast<unsigned>(units) & 0xFFF;
}

unsigned encode_track(double degrees) {
  double normal = std::fmod(degrees, 360.0);
  if (!std::isfinite(normal)) return 0;
  if (normal < 0) normal += 360.0;
  return static_cast<unsigned>(std::llround(normal / (360.0 / 256.0))) & 0xFF;
}

// 0-9, A-Z and space only, upper-cased, cut or padded to `size`. Other
// characters are left out rather than blanked: "D-EABC" is sent as DEABC.
void put_callsign(std::string& out, std::string_view text, std::size_t size) {
  std::size_t put = 0;
  for (char c : text) {
    if (put == size) break;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == ' ') out.push_back(c), ++put;
  }
  out.append(size - put, ' ');
}

void put_text(std::string& out, std::string_view text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out.push_back(i < text.size() ? text[i] : '\0');
}

// Tenths of a degree, signed 16 bits; 0x7FFF when absent.
unsigned encode_tenths(std::optional<double> degrees, long long limit) {
  if (!degrees || !std::isfinite(*degrees)) return 0x7FFF;
  return static_cast<unsigned>(clamp_steps(*degrees, 0.1, -limit, limit)) & 0xFFFF;
}

}  // namespace

std::uint16_t gdl90_crc(std::string_view message) {
  std::uint16_t crc = 0;
  for (unsigned char byte : message) crc = static_cast<std::uint16_t>(CRC_TABLE[crc >> 8] ^ (crc << 8) ^ byte);
  return crc;
}

std::string gdl90_frame(std::string_view message) {
  std::uint16_t crc = gdl90_crc(message);
  std::string body(message);
  put8(body, crc);
  put8(body, crc >> 8);
  std::string frame(1, static_cast<char>(GDL90_FLAG));
  for (unsigned char byte : body) {
    if (byte == GDL90_FLAG || byte == GDL90_ESCAPE) {
      put8(frame, GDL90_ESCAPE);
      put8(frame, byte ^ 0x20);
    } else {
      put8(frame, byte);
    }
  }
  put8(frame, GDL90_FLAG);
  return frame;
}

std::optional<std::string> gdl90_unframe(std::string_view frame) {
  if (frame.size() < 4 || static_cast<unsigned char>(frame.front()) != GDL90_FLAG ||
      static_cast<unsigned char>(frame.back()) != GDL90_FLAG)
    return std::nullopt;
  std::string body;
  for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
    auto byte = static_cast<unsigned char>(frame[i]);
    if (byte == GDL90_FLAG) return std::nullopt;
    if (byte == GDL90_ESCAPE) {
      if (++i + 1 >= frame.size()) return std::nullopt;
      byte = static_cast<unsigned char>(frame[i]) ^ 0x20;
    }
    body.push_back(static_cast<char>(byte));
  }
  if (body.size() < 3) return std::nullopt;
  std::string message = body.substr(0, body.size() - 2);
  std::uint16_t crc = gdl90_crc(message);
  if (static_cast<unsigned char>(body[body.size() - 2]) != (crc & 0xFF) ||
      static_cast<unsigned char>(body.back()) != (crc >> 8))
    return std::nullopt;
  return message;
}

std::string encode_heartbeat(const Heartbeat& heartbeat) {
  std::uint32_t seconds = heartbeat.seconds_since_midnight & 0x1FFFF;
  std::string message;
  put8(message, 0);
  put8(message, (heartbeat.position_valid ? 0x80 : 0) | 0x01);  // bit 0: UAT initialized
  put8(message, ((seconds >> 16) ? 0x80 : 0) | (heartbeat.utc_ok ? 0x01 : 0));
  put8(message, seconds);  // the time stamp is the one field sent low byte first
  put8(message, seconds >> 8);
  put16(message, 0);  // no uplink or basic/long messages received
  return gdl90_frame(message);
}

std::string encode_position_report(const PositionReport& report) {
  std::string message;
  put8(message, report.id);
  put8(message, (report.address_type & 0x0F));  // no traffic alert: the app judges the threat itself
  put24(message, report.address & 0xFFFFFF);
  put24(message, encode_angle24(report.lat));
  put24(message, encode_angle24(report.lon));
  unsigned misc = (report.airborne ? 0x8 : 0) | (report.extrapolated ? 0x4 : 0) | (report.track_type & 0x3);
  put16(message, encode_pressure_alt(report.pressure_alt_ft) << 4 | misc);
  put8(message, (report.nic & 0x0F) << 4 | (report.nacp & 0x0F));
  put24(message, encode_speed(report.speed_kt) << 12 | encode_vertical(report.vertical_fpm));
  put8(message, encode_track(report.track_deg));
  put8(message, report.emitter);
  put_callsign(message, report.callsign, 8);
  put8(message, (report.priority & 0x0F) << 4);
  return gdl90_frame(message);
}

std::string encode_geometric_altitude(double alt_ft, std::optional<std::uint16_t> vfom_m) {
  std::string message;
  put8(message, 11);
  put16(message, static_cast<unsigned>(clamp_steps(alt_ft, 5.0, -32768, 32767)) & 0xFFFF);
  put16(message, vfom_m ? std::min<unsigned>(*vfom_m, 0x7FFE) : 0x7FFF);  // no vertical warning
  return gdl90_frame(message);
}

std::string encode_foreflight_id(std::string_view name, std::string_view long_name, bool geometric_msl) {
  std::string message;
  put8(message, 0x65);
  put8(message, 0);                              // sub-ID: ID message
  put8(message, 1);                              // version
  put_text(message, std::string(8, '\xFF'), 8);  // serial number: none
  put_text(message, name, 8);
  put_text(message, long_name, 16);
  put16(message, 0);
  put16(message, geometric_msl ? 1 : 0);
  return gdl90_frame(message);
}

std::string encode_foreflight_ahrs(const Ahrs& ahrs) {
  std::string message;
  put8(message, 0x65);
  put8(message, 1);  // sub-ID: AHRS
  put16(message, encode_tenths(ahrs.roll_deg, 1800));
  put16(message, encode_tenths(ahrs.pitch_deg, 1800));
  if (ahrs.heading_deg && std::isfinite(*ahrs.heading_deg)) {
    double heading = std::fmod(*ahrs.heading_deg, 360.0);
    if (heading < 0) heading += 360.0;
    put16(message, static_cast<unsigned>(clamp_steps(heading, 0.1, 0, 3599)));  // bit 15 clear: true
  } else {
    put16(message, 0xFFFF);
  }
  bool ias_known = ahrs.ias_kt && std::isfinite(*ahrs.ias_kt);
  put16(message, ias_known ? static_cast<unsigned>(clamp_steps(*ahrs.ias_kt, 1.0, 0, 0xFFFE)) : 0xFFFF);
  put16(message, 0xFFFF);  // true airspeed: not known
  return gdl90_frame(message);
}

}  // namespace tavrik
