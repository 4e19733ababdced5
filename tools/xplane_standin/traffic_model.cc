#include "traffic_model.h"

#include <cmath>

namespace tavrik {
namespace {

constexpr double DEGREES = 3.14159265358979323846 / 180.0;
constexpr double METRES_PER_DEGREE = 111195.0;
constexpr double CROSSING_PERIOD = 240.0;  // seconds from one edge of the picture to the other
constexpr double CROSSING_SPEED = 61.7;    // m/s, 120 kt

AircraftState moved(const Airfield& field, double north, double east) {
  AircraftState state;
  state.latitude = field.latitude + north / METRES_PER_DEGREE;
  state.longitude = field.longitude + east / (METRES_PER_DEGREE * std::cos(field.latitude * DEGREES));
  state.elevation = field.elevation;
  return state;
}

AircraftState crossing(double seconds) {
  double along = (std::fmod(std::fmax(seconds, 0.0), CROSSING_PERIOD) - CROSSING_PERIOD / 2) * CROSSING_SPEED;
  const double heading = 45;
  AircraftState state = moved(DEMO_AIRFIELD, along * std::cos(heading * DEGREES), along * std::sin(heading * DEGREES));
  state.elevation = DEMO_AIRFIELD.elevation + 305 + 600;  // 1000 ft above the field, and 600 m more
  state.true_psi = heading;
  state.groundspeed = CROSSING_SPEED;
  state.on_ground = false;
  return state;
}

AircraftState parked() {
  AircraftState state = moved(DEMO_AIRFIELD, 150, 120);
  state.true_psi = 190;
  return state;
}

double total_speed(const AircraftState& a) {
  double climb = a.vh_ind_fpm * 0.00508;
  return std::sqrt(a.groundspeed * a.groundspeed + climb * climb);
}

}  // namespace

std::vector<TcasTarget> standin_traffic(const AircraftState& user, double seconds) {
  return {
      {0xA1B2C3, user, "HBUSR", "C172"},
      {0x4B1A01, fly(seconds + circuit_duration() / 2), "HBCIR", "C172"},
      {0x4B1A02, crossing(seconds), "SWR123", "A320"},
      {0x4B1A03, parked(), "HBPRK", "PC12"},
  };
}

std::optional<float> tcas_value(const std::vector<TcasTarget>& targets, const std::string& path) {
  auto open = path.find('[');
  if (open == std::string::npos || path.back() != ']') return std::nullopt;
  std::string name = path.substr(0, open);
  std::size_t element = 0;
  try {
    element = std::stoul(path.substr(open + 1, path.size() - open - 2));
  } catch (...) {
    return std::nullopt;
  }
  const std::string base = "sim/cockpit2/tcas/targets/";
  bool bytes = name == base + "flight_id" || name == base + "icao_type";
  std::size_t slot = bytes ? element / 8 : element;
  if (slot >= STANDIN_TCAS_SLOTS) return std::nullopt;
  const TcasTarget* t = slot < targets.size() ? &targets[slot] : nullptr;
  if (bytes) {
    if (!t) return 0.0f;
    const std::string& text = name == base + "flight_id" ? t->flight_id : t->icao_type;
    std::size_t k = element % 8;
    return k < text.size() && k < 7 ? static_cast<float>(static_cast<unsigned char>(text[k])) : 0.0f;
  }
  const std::string position = base + "position/";
  if (name == base + "modeS_id") return t ? static_cast<float>(t->mode_s) : 0.0f;
  const AircraftState empty;
  const AircraftState& a = t ? t->state : empty;
  const std::pair<std::string, double> known[] = {
      {position + "lat", a.latitude},
      {position + "lon", a.longitude},
      {position + "ele", a.elevation},
      {position + "psi", a.true_psi},
      {position + "vertical_speed", a.vh_ind_fpm},
      {position + "V_msc", total_speed(a)},
      {position + "weight_on_wheels", t && a.on_ground ? 1.0 : 0.0},
  };
  for (const auto& [known_name, value] : known)
    if (name == known_name) return static_cast<float>(value);
  return std::nullopt;
}

}  // namespace tavrik
