// The bridge's thinned track (/track/thin) of a flight given on stdin, one
// point a line, "t lat lon alt" (t in ms, alt "null" when absent), recorded
// one a second as the feeds do; the map page benchmark serves what it writes.
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <string>

#include "state/track.h"

int main() {
  using namespace std::chrono_literals;
  tavrik::Track track;
  tavrik::TrackInstant at{};
  std::uint64_t t = 0;
  double lat = 0, lon = 0;
  std::string alt;
  while (std::cin >> t >> lat >> lon >> alt) {
    double metres = alt == "null" ? std::numeric_limits<double>::quiet_NaN() : std::stod(alt);
    tavrik::record_point(track, at += 1s, {t, lat, lon, metres}, 3s);
  }
  std::cout << tavrik::thin_track_json(tavrik::copy_track(track), std::nullopt, tavrik::DRAWING_TOLERANCE_M);
}
