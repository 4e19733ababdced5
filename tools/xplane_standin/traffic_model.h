// The traffic the X-Plane stand-in flies around the user's aircraft, and the
// TCAS target datarefs it answers for it, as X-Plane fills them: slot 0 is
// the user, every slot without an aircraft reads 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flight_model.h"

namespace tavrik {

struct TcasTarget {
  std::uint32_t mode_s = 0;
  AircraftState state;
  std::string flight_id;  // at most 7 characters
  std::string icao_type;
};

constexpr std::size_t STANDIN_TCAS_SLOTS = 64;  // X-Plane's arrays

// Slot 0 the user, then one in the circuit (half a lap ahead), one crossing
// the field 600 m above the circuit, one parked by the runway.
std::vector<TcasTarget> standin_traffic(const AircraftState& user, double seconds);

// The value X-Plane gives for an element "name[i]" of a TCAS target dataref;
// nothing for any other path or an element beyond the array.
std::optional<float> tcas_value(const std::vector<TcasTarget>& targets, const std::string& path);

}  // namespace tavrik
