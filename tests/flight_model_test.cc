// The stand-in's scripted flight: its values must agree with one another as a
// real aircraft's do, so the map and the bridge show a believable flight.
#include "flight_model.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tavrik {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double EARTH_RADIUS = 6371000.0;

// Metres north and east from `a` to `b` (small distances).
std::pair<double, double> offset(const AircraftState& a, const AircraftState& b) {
  double north = (b.latitude - a.latitude) * PI / 180 * EARTH_RADIUS;
  double east = (b.longitude - a.longitude) * PI / 180 * EARTH_RADIUS * std::cos(a.latitude * PI / 180);
  return {north, east};
}

double angle_between(double a, double b) {
  double d = std::fmod(std::abs(a - b), 360.0);
  return d > 180 ? 360 - d : d;
}

TEST(FlightModelTest, PositionFollowsHeadingAndGroundSpeed) {
  const double dt = 0.05;
  int tracked = 0, samples = 0;
  for (double t = 0; t < circuit_duration(); t += 0.5, ++samples) {
    AircraftState a = fly(t), b = fly(t + dt);
    auto [north, east] = offset(a, b);
    double moved = std::hypot(north, east);
    double expected = (a.groundspeed + b.groundspeed) / 2 * dt;
    ASSERT_NEAR(moved, expected, 0.02 + 0.02 * expected) << "t=" << t;
    if (moved > 0.05) {
      double track = std::atan2(east, north) * 180 / PI;
      ASSERT_LT(angle_between(track, a.true_psi), 2.0) << "t=" << t;
      ++tracked;
    }
  }
  EXPECT_GT(tracked, samples * 9 / 10);  // it flies nearly all the circuit
}

TEST(FlightModelTest, VerticalValuesAgree) {
  const double dt = 0.05;
  int steady = 0, samples = 0;
  for (double t = 0; t < circuit_duration(); t += 0.5, ++samples) {
    AircraftState a = fly(t), b = fly(t + dt);
    ASSERT_NEAR(a.y_agl, a.elevation - 432.0, 1e-6) << "t=" << t;  // the field is flat
    ASSERT_GE(a.y_agl, -1e-6) << "t=" << t;
    double fpm = (b.elevation - a.elevation) / dt / 0.3048 * 60;
    if (std::abs(b.vh_ind_fpm - a.vh_ind_fpm) < 1e-9) {
      ASSERT_NEAR(fpm, a.vh_ind_fpm, 1.0) << "t=" << t;
      ++steady;
    }
    ASSERT_LE(std::abs(a.vh_ind_fpm), 1000.0) << "t=" << t;
  }
  EXPECT_GT(steady, samples * 9 / 10);  // the vertical speed changes only at a few points
}

TEST(FlightModelTest, SpeedsAndHeadingsStayInRange) {
  for (double t = 0; t < circuit_duration(); t += 0.5) {
    AircraftState a = fly(t);
    ASSERT_GE(a.true_psi, 0.0);
    ASSERT_LT(a.true_psi, 360.0);
    ASSERT_GE(a.groundspeed, 0.0);
    ASSERT_LE(a.groundspeed, 50.0);  // a light aircraft: under 100 kt
    // IAS reads a little under true airspeed at the field's height.
    double true_knots = a.groundspeed / 0.514444;
    ASSERT_LE(a.indicated_airspeed, true_knots + 1e-6);
    ASSERT_GE(a.indicated_airspeed, true_knots * 0.9);
  }
}

TEST(FlightModelTest, ValuesAreContinuousAndTheLapCloses) {
  double step = 0.01;
  for (double t = 0; t < circuit_duration(); t += step) {
    auto [north, east] = offset(fly(t), fly(t + step));
    ASSERT_LT(std::hypot(north, east), 1.0) << "t=" << t;  // no jumps between segments
    ASSERT_LT(angle_between(fly(t).true_psi, fly(t + step).true_psi), 1.0) << "t=" << t;
  }
  AircraftState start = fly(0), end = fly(circuit_duration() - 1e-6);
  auto [north, east] = offset(start, end);
  EXPECT_LT(std::hypot(north, east), 0.5);
  EXPECT_LT(angle_between(start.true_psi, end.true_psi), 0.5);
}

TEST(FlightModelTest, FliesTheScript) {
  AircraftState start = fly(0);
  EXPECT_TRUE(start.on_ground);
  EXPECT_EQ(start.groundspeed, 0.0);
  EXPECT_NEAR(start.true_psi, DEMO_AIRFIELD.runway_heading, 1e-9);
  EXPECT_EQ(start.latitude, DEMO_AIRFIELD.latitude);

  double highest = 0, lowest_vs = 0, highest_vs = 0, farthest = 0;
  bool turned_left = false, landed_again = false, airborne = false;
  for (double t = 0; t < circuit_duration(); t += 1) {
    AircraftState a = fly(t), b = fly(t + 1);
    highest = std::max(highest, a.y_agl);
    lowest_vs = std::min(lowest_vs, a.vh_ind_fpm);
    highest_vs = std::max(highest_vs, a.vh_ind_fpm);
    auto [north, east] = offset(start, a);
    farthest = std::max(farthest, std::hypot(north, east));
    double turn = std::fmod(b.true_psi - a.true_psi + 540, 360) - 180;
    turned_left = turned_left || turn < -2;
    airborne = airborne || !a.on_ground;
    landed_again = landed_again || (airborne && a.on_ground);
  }
  EXPECT_NEAR(highest, 1000 * 0.3048, 1.0);  // the circuit height
  EXPECT_GT(highest_vs, 500);                // climb-out
  EXPECT_LT(lowest_vs, -300);                // descent
  EXPECT_TRUE(turned_left);
  EXPECT_TRUE(landed_again);
  EXPECT_GT(farthest, 2000);
  EXPECT_LT(farthest, 10000);
  EXPECT_GT(circuit_duration(), 300);
}

TEST(FlightModelTest, RepeatsAndStartsAtZeroForNegativeTimes) {
  AircraftState a = fly(100), b = fly(100 + 2 * circuit_duration());
  EXPECT_NEAR(a.latitude, b.latitude, 1e-9);
  EXPECT_NEAR(a.true_psi, b.true_psi, 1e-6);
  EXPECT_EQ(fly(-5).latitude, fly(0).latitude);
}

}  // namespace

}  // namespace tavrik
