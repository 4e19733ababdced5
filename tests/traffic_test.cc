// The traffic store and its JSON: bytes, the 10 s rule and the 200 bound.
#include "state/traffic.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tavrik {
namespace {

using namespace std::chrono_literals;
const TrafficInstant T0 = TrafficInstant{} + 1000s;

TrafficAircraft at(std::uint32_t id, double lat, TrafficInstant seen = T0) {
  TrafficAircraft a;
  a.key = {TrafficSource::msfs, id}, a.lat = lat, a.lon = 8.5, a.last_seen = seen;
  return a;
}

TEST(TrafficTest, JsonBytes) {
  TrafficAircraft full = at(7, 47.5), parked = at(12, -0.5), unknown = at(4294967295u, 1e-7);
  full.key = {TrafficSource::xp, 0x4B1A2C};
  full.t = 1700000000000;
  full.alt = 304.8, full.hdg = 90, full.gs = 51.5, full.vs = -500, full.on_ground = false;
  full.callsign = "SW\"1\\", full.type = "A320";
  parked.on_ground = true, parked.gs = 0;
  unknown.alt = std::nan(""), unknown.hdg = INFINITY;
  EXPECT_EQ(traffic_json({full, parked, unknown}),
            R"({"aircraft":[{"id":"xp-4b1a2c","t":1700000000000,"lat":47.5,"lon":8.5,"alt":304.8,"hdg":90,"gs":51.5,)"
            R"("vs":-500,"ground":false,"callsign":"SW\"1\\","type":"A320"},)"
            R"({"id":"msfs-12","t":0,"lat":-0.5,"lon":8.5,"gs":0,"ground":true},)"
            R"({"id":"msfs-4294967295","t":0,"lat":0.0000001,"lon":8.5}]})");
  EXPECT_EQ(printable_text(std::string("\x01 HB-\x7f\101BC  \0XYZ", 13), 12), "HB-ABC");
}

TEST(TrafficTest, GoneAfterTenSecondsAndTheNearestTwoHundredKept) {
  Traffic traffic;
  const OwnPosition own{47.0, 8.5};
  for (std::uint32_t id = 1; id <= TRAFFIC_MAX; ++id) report_traffic(traffic, at(id, 47.0 + id * 0.001), own);
  report_traffic(traffic, at(999, 48.0), own);           // the 201st, farthest: not kept
  report_traffic(traffic, at(998, 48.0), std::nullopt);  // no own position: not kept either
  ASSERT_EQ(traffic.aircraft.size(), TRAFFIC_MAX);
  EXPECT_EQ(traffic.aircraft.back().key.id, TRAFFIC_MAX);
  report_traffic(traffic, at(0, 47.0), own);  // nearer: the farthest goes
  ASSERT_EQ(traffic.aircraft.size(), TRAFFIC_MAX);
  EXPECT_EQ(traffic.aircraft.front().key.id, 0u);
  EXPECT_EQ(traffic.aircraft.back().key.id, TRAFFIC_MAX - 1);
  report_traffic(traffic, at(5, NAN, T0 + 5s), own);   // not finite: ignored, the old one stays
  report_traffic(traffic, at(5, 47.2, T0 + 5s), own);  // seen again: replaced in place
  EXPECT_EQ(copy_traffic(traffic, T0 + 10s - 1ns).size(), TRAFFIC_MAX);
  auto later = copy_traffic(traffic, T0 + 10s);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].lat, 47.2);
  report_traffic(traffic, at(6, 47.1, T0 + 15s), own);  // a report drops the gone ones
  EXPECT_EQ(traffic.aircraft.size(), 1u);
}

}  // namespace
}  // namespace tavrik
