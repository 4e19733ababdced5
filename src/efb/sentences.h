// ForeFlight's simulator sentences (its "Flight Simulator GPS Integration"
// page): plain text datagrams for UDP port 49002.
#pragma once

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

}  // namespace tavrik
