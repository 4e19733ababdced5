#include "flight_model.h"

#include <cmath>
#include <vector>

namespace tavrik {

// A field near Zurich at 432 m; the circuit is flown left-hand.
const Airfield DEMO_AIRFIELD = {47.4580, 8.5480, 280.0, 432.0};

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double EARTH_RADIUS = 6371000.0;  // metres
constexpr double KNOT = 0.514444;           // m/s
constexpr double FOOT = 0.3048;             // m
constexpr double TURN_RATE = 3.0;           // degrees per second, a standard-rate turn
constexpr double TAXI_TURN_RATE = 12.0;
constexpr double GRAVITY = 9.80665;      // m/s²
constexpr double CRUISE_ATTITUDE = 2.0;  // degrees nose up in level flight

double radians(double degrees) { return degrees * PI / 180.0; }

// A piece of the circuit: constant acceleration along a straight line, or a
// turn at constant speed and rate; height changes linearly over it.
struct Segment {
  double duration;
  double speed0, speed1;    // m/s
  double turn_rate;         // degrees per second, negative to the left
  double height0, height1;  // metres above the field
};

// Position in metres along (x) and to the left of (y) the runway, heading
// relative to it, as the aircraft enters a segment.
struct Pose {
  double x = 0, y = 0, heading = 0;
};

// Where the aircraft is `tau` seconds into `s`, entered at `p`.
Pose advance(const Segment& s, const Pose& p, double tau) {
  Pose out = p;
  if (s.turn_rate == 0) {
    double a = (s.speed1 - s.speed0) / s.duration;
    double distance = s.speed0 * tau + 0.5 * a * tau * tau;
    out.x += distance * std::cos(radians(p.heading));
    out.y += distance * std::sin(radians(p.heading));
    return out;
  }
  // Heading counts counter-clockwise here (left positive), so a left turn adds.
  double omega = radians(s.turn_rate);
  out.heading = p.heading + s.turn_rate * tau;
  double r = s.speed0 / omega;
  out.x += r * (std::sin(radians(out.heading)) - std::sin(radians(p.heading)));
  out.y += r * (std::cos(radians(p.heading)) - std::cos(radians(out.heading)));
  return out;
}

struct Circuit {
  std::vector<Segment> segments;
  std::vector<Pose> entries;   // pose at the start of each segment
  std::vector<double> starts;  // time at the start of each segment
  double duration = 0;
  Pose pose;
  double height = 0;

  void add(Segment s) {
    s.height0 = height;
    segments.push_back(s);
    entries.push_back(pose);
    starts.push_back(duration);
    pose = advance(s, pose, s.duration);
    height = s.height1;
    duration += s.duration;
  }
  void straight(double seconds, double v0, double v1, double height_after) {
    add({seconds, v0, v1, 0, 0, height_after});
  }
  void straight_for(double metres, double v0, double v1, double height_after) {
    straight(2 * metres / (v0 + v1), v0, v1, height_after);
  }
  void left_turn(double degrees, double rate, double v, double height_after) {
    add({degrees / rate, v, v, rate, 0, height_after});
  }
};

// Radius of a turn at speed v, which is also how far a 90-degree turn moves the aircraft each way.
double radius(double v, double rate) { return v / radians(rate); }

Circuit build_circuit() {
  const double pattern = 1000 * FOOT;  // circuit height above the field
  const double touchdown = 300;        // metres past the threshold
  const double final_length = 3000;
  Circuit c;
  c.straight(25, 0, 30, 0);                 // take-off roll
  c.straight(60, 30, 38, 700 * FOOT);       // climb-out
  c.left_turn(90, TURN_RATE, 38, pattern);  // crosswind
  c.straight(30, 38, 46, pattern);
  c.left_turn(90, TURN_RATE, 46, pattern);  // downwind
  // Downwind long enough that the final turn ends `final_length` before touchdown.
  const double slow_down = 30 * (46 + 38) / 2.0;
  double downwind = c.pose.x - radius(38, TURN_RATE) + radius(34, TURN_RATE) - (touchdown - final_length);
  c.straight_for(downwind - slow_down, 46, 46, pattern);
  c.straight(30, 46, 38, pattern);
  c.left_turn(90, TURN_RATE, 38, 800 * FOOT);                            // base
  c.straight_for(c.pose.y - radius(34, TURN_RATE), 38, 34, 650 * FOOT);  // base leg back to the centre line
  c.left_turn(90, TURN_RATE, 34, 550 * FOOT);                            // final
  c.straight_for(touchdown - c.pose.x, 34, 31, 0);                       // approach to touchdown
  c.straight(20, 31, 6, 0);                                              // landing roll
  c.left_turn(180, TAXI_TURN_RATE, 6, 0);                                // turn round on the runway
  const double stop = 6 * 4 / 2.0;                                       // distance of the final stop
  double taxi = c.pose.x + stop - 80;                                    // 80 m spent speeding up and slowing down
  c.straight(5, 6, 10, 0);
  c.straight_for(taxi, 10, 10, 0);
  c.straight(5, 10, 6, 0);
  c.left_turn(180, TAXI_TURN_RATE, 6, 0);  // line up again
  c.straight(4, 6, 0, 0);
  c.straight(15, 0, 0, 0);  // hold before the next take-off
  return c;
}

const Circuit& circuit() {
  static const Circuit built = build_circuit();
  return built;
}

// Indicated airspeed from true airspeed, standard atmosphere, no wind.
double indicated_knots(double true_speed, double elevation) {
  double density_ratio = std::pow(1 - 2.25577e-5 * elevation, 4.2559);
  return true_speed * std::sqrt(density_ratio) / KNOT;
}

double wrap_degrees(double degrees) {
  double d = std::fmod(degrees, 360.0);
  return d < 0 ? d + 360.0 : d;
}

}  // namespace

double circuit_duration() { return circuit().duration; }

AircraftState fly(double seconds) {
  const Circuit& c = circuit();
  double t = std::fmod(std::max(seconds, 0.0), c.duration);
  std::size_t i = 0;
  while (i + 1 < c.segments.size() && c.starts[i + 1] <= t) ++i;
  const Segment& s = c.segments[i];
  double tau = t - c.starts[i];
  Pose p = advance(s, c.entries[i], tau);
  double speed = s.speed0 + (s.speed1 - s.speed0) * tau / s.duration;
  double climb = (s.height1 - s.height0) / s.duration;  // m/s
  double height = s.height0 + climb * tau;

  const Airfield& field = DEMO_AIRFIELD;
  // Runway frame to north/east: x lies along the runway heading, y to its left.
  double rwy = radians(field.runway_heading);
  double north = p.x * std::cos(rwy) + p.y * std::sin(rwy);
  double east = p.x * std::sin(rwy) - p.y * std::cos(rwy);

  AircraftState a;
  a.latitude = field.latitude + north / EARTH_RADIUS * 180.0 / PI;
  a.longitude = field.longitude + east / (EARTH_RADIUS * std::cos(radians(field.latitude))) * 180.0 / PI;
  a.elevation = field.elevation + height;
  a.true_psi = wrap_degrees(field.runway_heading - p.heading);
  a.groundspeed = speed;
  a.indicated_airspeed = indicated_knots(speed, a.elevation);
  a.vh_ind_fpm = climb / FOOT * 60.0;
  a.y_agl = height;
  a.on_ground = height <= 0 && climb == 0;
  a.pressure_altitude = a.elevation / FOOT;
  if (!a.on_ground && speed > 0) {
    // The climb's flight path plus the wing's attitude; a coordinated turn's bank
    // (left turns here, so left wing down: negative).
    a.theta = std::atan2(climb, speed) * 180.0 / PI + CRUISE_ATTITUDE;
    a.phi = -std::atan(speed * radians(s.turn_rate) / GRAVITY) * 180.0 / PI;
  }
  return a;
}

}  // namespace tavrik
