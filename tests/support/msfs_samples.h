// The scripted MSFS samples the tests share, each with its values named by
// the program's value table and the snapshot JSON the bridge makes of it.
// The double's script lines are built from MSFS_VARIABLES, so they always
// hold one value per registered variable, "on ground" in its own place.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "msfs/msfs_feed.h"

namespace tavrik {

struct MsfsSample {
  std::vector<std::pair<Value, double>> values;  // in the simulator's units; a value not named is 0
  double on_ground = 0;
  std::string json = "";  // the snapshot's values as the bridge writes them, without "t"
};

// Airborne: every value, in feet, knots and feet per minute.
inline const MsfsSample FLIGHT{{{Value::LAT, 47.5},
                                {Value::LON, 8.25},
                                {Value::ALT, 1000},
                                {Value::HDG, 90},
                                {Value::GS, 100},
                                {Value::IAS, 100},
                                {Value::VS, -500},
                                {Value::AGL, 10}},
                               0,
                               R"("lat":47.5,"lon":8.25,"alt":304.8,"hdg":90,"gs":51.44444444444445,"ias":100,)"
                               R"("vs":-500,"agl":3.048)"};
// The same on the ground: no height above it.
inline const MsfsSample ON_GROUND{FLIGHT.values, 1,
                                  R"("lat":47.5,"lon":8.25,"alt":304.8,"hdg":90,"gs":51.44444444444445,"ias":100,)"
                                  R"("vs":-500,"agl":0)"};
// A position and nothing else.
inline const MsfsSample POSITION{{{Value::LAT, 47.5}, {Value::LON, 8.25}}};
// No aircraft placed yet: the feed stores none of it.
inline const MsfsSample NEAR_ZERO{{{Value::LAT, 0.005}, {Value::LON, -0.009}}};

// The sample as the feed reads it from a message: one double per variable.
inline RawSample raw_sample(const MsfsSample& sample) {
  RawSample raw{};
  for (std::size_t row = 0; row < MSFS_VARIABLE_COUNT; ++row) {
    raw[row] = MSFS_VARIABLES[row].fills ? 0.0 : sample.on_ground;
    for (const auto& [value, number] : sample.values)
      if (MSFS_VARIABLES[row].fills == value) raw[row] = number;
  }
  return raw;
}

// The values of a script line: " v0 v1 ..", in registration order.
inline std::string script_values(const MsfsSample& sample) {
  std::string text;
  for (double number : raw_sample(sample)) {
    text += ' ';
    append_number(text, number);
  }
  return text;
}

inline std::string sample_line(const MsfsSample& sample) { return "sample" + script_values(sample) + "\n"; }
inline std::string stream_line(int every, const MsfsSample& sample) {
  return "stream " + std::to_string(every) + script_values(sample) + "\n";
}

// The snapshot of the sample with its "t" left out.
inline std::string expected_snapshot(const MsfsSample& sample) {
  return R"({"live":true,"sim":"msfs",)" + sample.json + "}";
}

}  // namespace tavrik
