// A scripted circuit flown by the X-Plane stand-in: take-off roll, climb-out,
// four left turns round the field, descent, landing, taxi back, and again.
// A pure function of flight time, so every value is reproducible.
#pragma once

namespace tavrik {

struct AircraftState {
  double latitude = 0;            // degrees
  double longitude = 0;           // degrees
  double elevation = 0;           // metres above mean sea level
  double true_psi = 0;            // true heading, degrees 0 to 360
  double groundspeed = 0;         // metres per second
  double indicated_airspeed = 0;  // knots
  double vh_ind_fpm = 0;          // vertical speed, feet per minute
  double y_agl = 0;               // height above ground, metres
  bool on_ground = true;
  double theta = 0;              // pitch, degrees, nose up positive
  double phi = 0;                // roll, degrees, right wing down positive
  double pressure_altitude = 0;  // feet, a standard day: the elevation in feet
};

// Where the circuit starts: the runway threshold, its heading and elevation.
struct Airfield {
  double latitude;
  double longitude;
  double runway_heading;  // degrees true
  double elevation;       // metres MSL
};
extern const Airfield DEMO_AIRFIELD;

// Length of one lap in seconds; the flight repeats after it.
double circuit_duration();

// The aircraft `seconds` after the first take-off roll began (negative times
// count as 0).
AircraftState fly(double seconds);

}  // namespace tavrik
