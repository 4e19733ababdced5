#include "efb/sentences.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tavrik {
namespace {

// Fixed decimals, the same on every system and locale; -0.0 prints as 0.
void append_fixed(std::string& out, double value, int decimals) {
  if (!std::isfinite(value)) value = 0;
  double scale = std::pow(10.0, decimals);
  if (std::round(value * scale) == 0) value = 0;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  out.append(buffer, result.ptr);
}

double unit_circle(double degrees) {
  double normal = std::fmod(degrees, 360.0);
  return normal < 0 ? normal + 360.0 : normal;
}

}  // namespace

std::string xgps_sentence(double lon, double lat, double alt_m, double track_deg, double gs_mps) {
  std::string out = "XGPS";
  out.append(EFB_SIM_NAME);
  out.push_back(',');
  append_fixed(out, lon, 3);
  out.push_back(',');
  append_fixed(out, lat, 3);
  out.push_back(',');
  append_fixed(out, alt_m, 1);
  out.push_back(',');
  append_fixed(out, unit_circle(track_deg), 2);
  out.push_back(',');
  append_fixed(out, gs_mps, 1);
  return out;
}

std::string xatt_sentence(double heading_deg, double pitch_deg, double roll_deg) {
  std::string out = "XATT";
  out.append(EFB_SIM_NAME);
  out.push_back(',');
  append_fixed(out, unit_circle(heading_deg), 2);
  out.push_back(',');
  append_fixed(out, pitch_deg, 1);
  out.push_back(',');
  append_fixed(out, roll_deg, 1);
  return out;
}

std::string xtraffic_sentence(const TrafficSentence& traffic) {
  std::string out = "XTRAFFIC";
  out.append(EFB_SIM_NAME);
  out += ',' + std::to_string(traffic.address & 0xFFFFFF) + ',';
  append_fixed(out, traffic.lat, 3);
  out.push_back(',');
  append_fixed(out, traffic.lon, 3);
  out.push_back(',');
  append_fixed(out, traffic.alt_ft, 1);
  out.push_back(',');
  append_fixed(out, traffic.vs_fpm, 1);
  out += traffic.airborne ? ",1," : ",0,";
  append_fixed(out, unit_circle(traffic.heading_deg), 2);
  out.push_back(',');
  append_fixed(out, traffic.speed_kt, 1);
  out.push_back(',');
  std::size_t label = out.size();
  for (char c : traffic.callsign)
    if (c != ',') out.push_back(c);
  if (out.size() == label) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06X", static_cast<unsigned>(traffic.address & 0xFFFFFF));
    out += hex;
  }
  return out;
}

}  // namespace tavrik
