// ForeFlight's simulator sentences (its "Flight Simulator GPS Integration"
// page): plain text datagrams for UDP port 49002.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik {

constexpr std::string_view EFB_SIM_NAME = "tavrik";  // short, as the page asks

// "XGPS<name>,<lon>,<lat>,<alt m MSL>,<track °true>,<ground speed m/s>":
// 3 decimals for longitude and latitude, 2 for the track, 1 for the others.
std::string xgps_sentence(double lon, double lat, double alt_m, double track_deg, double gs_mps);

// "XATT<name>,<true heading>,<pitch, up positive>,<roll, right positive>":
// 2 decimals for the heading, 1 for pitch and roll.
std::string xatt_sentence(double heading_deg, double pitch_deg, double roll_deg);

// One other aircraft: "XTRAFFIC<name>,<address, decimal>,<lat>,<lon>,<alt ft
// MSL>,<vertical speed ft/min>,<1 airborne, 0 on the ground>,<true heading>,
// <speed kt>,<callsign>": 3 decimals for latitude and longitude, 2 for the
// heading, 1 for the others. A callsign loses its commas (the separator);
// none at all gives the address in hex, so the app still has a label.
struct TrafficSentence {
  std::uint32_t address = 0;
  double lat = 0, lon = 0, alt_ft = 0, vs_fpm = 0;
  bool airborne = true;
  double heading_deg = 0, speed_kt = 0;
  std::string_view callsign;
};
std::string xtraffic_sentence(const TrafficSentence& traffic);

}  // namespace tavrik
