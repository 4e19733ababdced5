// The EFB feed's pure parts: GDL 90 and ForeFlight encodings against the
// FAA document's examples, the announcement reader, the networks.
#include <gtest/gtest.h>

#include <cstdio>

#include "efb/announcement.h"
#include "efb/efb_feed.h"
#include "efb/efb_schedule.h"
#include "efb/gdl90.h"
#include "efb/sentences.h"

namespace tavrik {
namespace {

std::string hex(std::string_view bytes) {
  std::string out;
  char buffer[4];
  for (unsigned char b : bytes) out += (std::snprintf(buffer, sizeof buffer, "%02X ", b), buffer);
  return out.empty() ? out : out.substr(0, out.size() - 1);
}
std::string message_of(const std::string& frame) { return hex(gdl90_unframe(frame).value_or("bad frame")); }

PositionReport with(std::optional<double> alt, std::optional<double> kt, std::optional<double> fpm, double lat = 0,
                    double lon = 0) {
  PositionReport r;
  r.lat = lat, r.lon = lon, r.pressure_alt_ft = alt, r.speed_kt = kt, r.vertical_fpm = fpm;
  return r;
}
PositionReport report_at(double lat, double lon) { return with({}, {}, {}, lat, lon); }
// The FAA document's traffic report example (N825V), its fields as its bytes carry them.
PositionReport faa_example() {
  PositionReport r = with(5000, 123, 64, 0x1FEF15 * 180.0 / 8388608, (0xA88978 - 16777216.0) * 180 / 8388608);
  r.id = 20, r.address_type = 0, r.address = 0xAB4549, r.airborne = true, r.track_type = 1;
  r.nic = 10, r.nacp = 9, r.track_deg = 45, r.emitter = 1, r.callsign = "n825v";
  return r;
}
const char* HEAD = "0A 01 00 00 00 ";  // ownship, self-assigned address
const char* TAIL = " 00 FF F8 00 00 00 20 20 20 20 20 20 20 20 00";

TEST(EfbTest, Encodings) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      // The document's heartbeat example, frame and all.
      {hex(gdl90_frame(std::string("\x00\x81\x41\xDB\xD0\x08\x02", 7))), "7E 00 81 41 DB D0 08 02 B3 8B 7E"},
      {message_of(encode_heartbeat({true, true, 0xD0DB})), "00 81 01 DB D0 00 00"},
      {message_of(encode_heartbeat({false, true, 86399})), "00 01 81 7F 51 00 00"},
      {message_of(encode_position_report(faa_example())),
       "14 00 AB 45 49 1F EF 15 A8 89 78 0F 09 A9 07 B0 01 20 01 4E 38 32 35 56 20 20 20 00"},
      // 0x7D and 0x7E in a payload are escaped, and the check still holds.
      {hex(gdl90_frame(std::string("\x7D\x7E", 2))).substr(0, 14), "7E 7D 5D 7D 5E"},
      {message_of(gdl90_frame(std::string("\x7D\x7E", 2))), "7D 7E"},
      // A latitude and longitude in each quadrant.
      {message_of(encode_position_report(report_at(45, 90))), HEAD + std::string("20 00 00 40 00 00 FF F0") + TAIL},
      {message_of(encode_position_report(report_at(-45, 90))), HEAD + std::string("E0 00 00 40 00 00 FF F0") + TAIL},
      {message_of(encode_position_report(report_at(-45, -90))), HEAD + std::string("E0 00 00 C0 00 00 FF F0") + TAIL},
      {message_of(encode_position_report(report_at(45, -90))), HEAD + std::string("20 00 00 C0 00 00 FF F0") + TAIL},
      // Altitude, speed and vertical speed at their ends and unknown.
      {message_of(encode_position_report(with(-1000, 0, 0))).substr(33, 17), "00 00 00 00 00 00"},
      {message_of(encode_position_report(with(101350, 4094, 32640))).substr(33, 17), "FF E0 00 FF E1 FE"},
      {message_of(encode_position_report(with(101375, 9999, 40000))).substr(33, 17), "FF F0 00 FF E1 FE"},
      {message_of(encode_position_report(with(-1100, 1, -40000))).substr(33, 17), "FF F0 00 00 1E 02"},
      {message_of(encode_position_report(with({}, {}, {}))).substr(33, 17), "FF F0 00 FF F8 00"},
      {message_of(encode_position_report(with(0, 1, -64))).substr(33, 17), "02 80 00 00 1F FF"},
      {message_of(encode_geometric_altitude(1000, 3)), "0B 00 C8 00 03"},
      {message_of(encode_geometric_altitude(-1000, {})), "0B FF 38 7F FF"},
      {message_of(encode_foreflight_id("tavrik", "Velmara tavrik", true)),
       "65 00 01 FF FF FF FF FF FF FF FF 74 61 76 72 69 6B 00 00 56 65 6C 6D 61 72 61 20 74 61 76 72 69 6B 00 00 00 00 "
       "00 01"},
      {message_of(encode_foreflight_ahrs({10.5, -2.3, 270, 120})), "65 01 00 69 FF E9 0A 8C 00 78 FF FF"},
      {message_of(encode_foreflight_ahrs({})), "65 01 7F FF 7F FF FF FF FF FF FF FF"},
      {xgps_sentence(8.54321, 47.45678, 432.16, -90, 61.26), "XGPStavrik,8.543,47.457,432.2,270.00,61.3"},
      {xatt_sentence(359.5, 4.26, -25.04), "XATTtavrik,359.50,4.3,-25.0"},
      {xtraffic_sentence({0x4B1A2C, -33.9461, 151.1772, 500, -640, true, -109.5, 97.24, ""}),
       "XTRAFFICtavrik,4921900,-33.946,151.177,500.0,-640.0,1,250.50,97.2,4B1A2C"},  // no callsign: the address
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
  EXPECT_FALSE(
      gdl90_unframe(std::string("\x7E\x00\x81\x41\xDB\xD0\x08\x02\xB3\x8C\x7E", 11)));  // one bit off in the check
}

// Traffic goes out once a UTC second, in the user's pressure altitude datum: here 200 ft below MSL.
TEST(EfbTest, TrafficEachSecond) {
  LiveState record;
  record.sim = SimKind::msfs, record.values[Value::LAT] = 47.4, record.values[Value::LON] = 8.5;
  record.values[Value::ALT] = 304.8, record.efb[index_of(EfbValue::PRESSURE_ALT)] = 800;
  auto wall = WallClock::time_point(std::chrono::seconds(1'800'000'000)) + std::chrono::milliseconds(100);
  mark_updated(record, Instant{}, wall);
  std::vector<TrafficAircraft> traffic(2);  // the first with nothing known but where it is
  traffic[0].key = {TrafficSource::xp, 0x4B1A2C}, traffic[0].lat = -33.95, traffic[0].lon = 151.18;
  traffic[1].key = {TrafficSource::msfs, 42}, traffic[1].lat = 47.5, traffic[1].lon = 8.5, traffic[1].alt = 1524;
  traffic[1].hdg = 90, traffic[1].gs = 10, traffic[1].on_ground = true, traffic[1].callsign = "D-EA,BC";
  EfbSchedule schedule;
  EfbBatch batch = due_messages(schedule, record, traffic, Instant{}, wall);
  ASSERT_EQ(batch.gdl90.size(), 7u);     // heartbeat, ID, two aircraft, ownship, altitude, AHRS
  EXPECT_EQ(message_of(batch.gdl90[2]),  // X-Plane's Mode S id as an ICAO address; airborne, nothing else known
            "14 00 4B 1A 2C E7 DB 97 6B 81 7B FF F8 BB FF F8 00 00 00 20 20 20 20 20 20 20 20 00");
  EXPECT_EQ(message_of(batch.gdl90[3]),  // self-assigned; 4800 ft, on the ground, true heading; 19 kt
            "14 01 F1 00 2A 21 C7 1C 06 0B 61 0E 83 BB 01 38 00 40 00 44 45 41 42 43 20 20 20 00");
  EXPECT_EQ(batch.sentences,
            (std::vector<std::string>{"XGPStavrik,8.500,47.400,304.8,0.00,0.0",
                                      "XTRAFFICtavrik,15794218,47.500,8.500,5000.0,0.0,0,90.00,19.4,D-EABC"}));
  EXPECT_FALSE(second_due(schedule, wall + std::chrono::milliseconds(899)));
  EXPECT_TRUE(due_messages(schedule, record, traffic, Instant{} + std::chrono::milliseconds(20), wall).empty());
  EXPECT_EQ(traffic_address({TrafficSource::msfs, MSFS_ADDRESS_SPAN + 7}).address, MSFS_ADDRESS_FIRST + 7);
}

TEST(EfbTest, Announcements) {
  struct Case {
    std::string datagram;
    std::optional<std::uint16_t> port;
  } cases[] = {
      {R"({"App":"ForeFlight","GDL90":{"port":4000}})", 4000},
      {" {\"GDL90\" : {\"port\": 4001, \"v\":[1,2.5e3,null]}, \"App\":\"ForeFlight\", \"x\":{\"y\":true}}\n", 4001},
      {R"({"App":"ForeFlight","GDL90":{"port":65535}})", 65535},
      {R"({"App":"ForeFlight","GDL90":{"port":0}})", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":65536}})", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":"4000"}})", {}},
      {R"({"App":"Foreflight","GDL90":{"port":4000}})", {}},
      {R"({"App":"ForeFlight","App":"ForeFlight","GDL90":{"port":4000}})", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":4000}} x)", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":04000}})", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":4000},"z":)" + std::string(50, '[') + std::string(50, ']') + "}", {}},
      {R"({"App":"ForeFlight","GDL90":{"port":4000},"pad":")" + std::string(1000, ' ') + "\"}", {}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_announcement(c.datagram), c.port) << c.datagram;

  AnnouncedApps known;  // at most 16, each forgotten 15 s after it last spoke
  for (std::uint32_t ip = 1; ip <= MAX_ANNOUNCED_APPS + 4; ++ip)
    EXPECT_EQ(note_announcement(known, ip, 4000, Instant{}), ip <= MAX_ANNOUNCED_APPS);
  EXPECT_FALSE(note_announcement(known, 1, 4002, Instant{} + std::chrono::seconds(5)));
  forget_silent_apps(known, Instant{} + APP_FORGOTTEN_AFTER);
  EXPECT_EQ(known.apps.size() * 10000 + known.apps[0].port, 14002u);
}

TEST(EfbTest, NetworksAndTargets) {
  auto nets = efb_networks({{0x7F000001, true, true, 0xFF000000},
                            {0x0AD50001, true, false, 0xFFFFFF00},
                            {0x0AD50009, true, false, 0xFFFFFF00},  // the same network again
                            {0xC0A80117, false, false, 0xFFFFFF00},
                            {0xA9FE0102, true, false, 0xFFFF0000},
                            {0x0A000001, true, false, 0xFFFFFFFF}});
  ASSERT_EQ(nets.size(), 1u);
  EfbPlan plan = plan_efb({}, nets);
  EXPECT_EQ(
      efb_plan_lines(plan, {}),
      "→ EFB: GDL 90 (UDP 4000) and ForeFlight's sentences (UDP 49002) to 10.213.0.255, the network 10.213.0.0/24\n"
      "→ EFB: listening for ForeFlight on UDP 63093, to send GDL 90 to it directly\n");
  EXPECT_TRUE(announcement_source_ok(plan, 0x0AD50002));
  for (std::uint32_t ip : {0x0AD50001u, 0x0AD500FFu, 0x0AD50000u, 0x0AD60002u, 0x7F000001u})
    EXPECT_FALSE(announcement_source_ok(plan, ip)) << ip;
  EfbPlan named = plan_efb({0x0AD50002, 0xC0A80128}, nets);
  EXPECT_EQ(efb_plan_lines(named, {0x0AD50002, 0xC0A80128}),
            "→ EFB: GDL 90 (UDP 4000) and ForeFlight's sentences (UDP 49002) to 10.213.0.2\n"
            "… EFB: 192.168.1.40 is on none of this PC's networks: nothing is sent there\n");
}

}  // namespace
}  // namespace tavrik
