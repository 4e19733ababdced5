#include "server/lan_access.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace tavrik {

namespace {

constexpr std::uint32_t LOOPBACK = 0x7F000001;    // 127.0.0.1
constexpr std::uint32_t LOOPBACK_2 = 0x7F050607;  // 127.5.6.7
constexpr std::uint32_t TABLET = 0x0AD50002;      // 10.213.0.2
constexpr std::uint32_t OTHER = 0xC0A80117;       // 192.168.1.23
const LanAccess LAN{"0123456789abcdef0123456789abcdef", 49080};

// Every row of the table, asked for by its own path: this computer needs no
// key, another machine needs it, and a route for this computer's own page is
// there only with --lan and for this computer alone.
TEST(LanAccessTest, EveryRowByItsCallerRule) {
  for (const RouteRow& row : route_table()) {
    std::string line = "OPTIONS";
    for (std::string m : {"DELETE", "PUT", "GET"}) line = row.methods & method_bit(m) ? m : line;
    line += ' ' + std::string(row.path.empty() ? "/" : row.path) + "?v=1&key=" + LAN.key;
    RequestTarget target = parse_request_line(line);
    std::string keyless_line = line.substr(0, line.find('&'));  // the target's views point into it
    RequestTarget keyless = parse_request_line(keyless_line);
    Route route = route_for(target);
    ASSERT_EQ(route.row, &row) << line;
    bool own_page = row.caller == CallerRule::own_page;
    EXPECT_EQ(admitted_route(route, keyless, LOOPBACK_2, "127.0.0.1:49080", &LAN), route) << line;
    EXPECT_EQ(admitted_route(route, keyless, LOOPBACK, "", nullptr), own_page ? Route::text : route) << line;
    Route tablet = row.caller == CallerRule::keyed ? route : own_page ? Route::forbidden : Route::plan_forbidden;
    EXPECT_EQ(admitted_route(route, target, TABLET, "localhost:49080", &LAN), tablet) << line;
    EXPECT_EQ(admitted_route(route, keyless, OTHER, "localhost:49080", &LAN), Route::forbidden) << line;
    EXPECT_EQ(admitted_route(route, target, TABLET, "localhost:49080", nullptr), Route::forbidden) << line;
  }
}

TEST(LanAccessTest, KeyCheckOnEveryRoute) {
  const std::string key = "key=" + LAN.key;
  const LanAccess other_port{LAN.key, 49081};
  struct Case {
    std::string line;
    std::uint32_t peer;
    const LanAccess* lan;
    Route route;
    std::string host = "localhost:49080";
  } cases[] = {
      {"GET /map/leaflet/leaflet.js?" + key + " HTTP/1.1", TABLET, &LAN, Route::builtin_file},
      {"GET /map/leaflet/leaflet.js HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET", TABLET, &LAN, Route::forbidden},
      {"", TABLET, &LAN, Route::forbidden},
      {"GET /state?key=0123456789abcdef0123456789abcdee HTTP/1.1", TABLET, &LAN, Route::forbidden},   // last byte
      {"GET /state?key=1123456789abcdef0123456789abcdef HTTP/1.1", TABLET, &LAN, Route::forbidden},   // first byte
      {"GET /state?key=0123456789abcdef0123456789abcde HTTP/1.1", TABLET, &LAN, Route::forbidden},    // one short
      {"GET /state?key=0123456789abcdef0123456789abcdef0 HTTP/1.1", TABLET, &LAN, Route::forbidden},  // one more
      {"GET /state?key= HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /state?key HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /state?KEY=" + LAN.key + " HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /state?xkey=" + LAN.key + " HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /state?key=%30123456789abcdef0123456789abcdef HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /state/" + key + " HTTP/1.1", TABLET, &LAN, Route::forbidden},            // in the path, not the query
      {"GET /state?key=wrong&" + key + " HTTP/1.1", TABLET, &LAN, Route::forbidden},  // the first one counts
      // Without --lan nobody else gets in, key or not (the listener keeps them out first).
      {"GET /state?" + key + " HTTP/1.1", TABLET, nullptr, Route::forbidden},
      // "/tablet": with --lan, for this computer's own page alone.
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::tablet},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::tablet, "127.0.0.1:49080"},
      {"GET /tablet?x HTTP/1.1", LOOPBACK_2, &LAN, Route::tablet},
      {"GET /tablet HTTP/1.1", LOOPBACK, nullptr, Route::text},
      {"GET /tablet HTTP/1.1", LOOPBACK, nullptr, Route::text, "evil.example:49080"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::forbidden, "evil.example:49080"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::forbidden, "localhost:49081"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &other_port, Route::tablet, "localhost:49081"},  // the port listened on
      {"GET /tablet HTTP/1.1", LOOPBACK_2, &other_port, Route::tablet, "127.0.0.1:49081"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &other_port, Route::forbidden},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::forbidden, "localhost"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::forbidden, "LOCALHOST:49080"},
      {"GET /tablet HTTP/1.1", LOOPBACK, &LAN, Route::forbidden, ""},
      {"GET /tablet?" + key + " HTTP/1.1", TABLET, &LAN, Route::forbidden},
      {"GET /tablet?" + key + " HTTP/1.1", TABLET, &LAN, Route::forbidden, "10.213.0.1:49080"},
      {"OPTIONS /tablet HTTP/1.1", LOOPBACK, &LAN, Route::preflight},
  };
  for (const Case& c : cases) {
    RequestTarget target = parse_request_line(c.line);
    EXPECT_EQ(admitted_route(route_for(target), target, c.peer, c.host, c.lan), c.route)
        << c.line << " from " << platform::format_address({c.peer, 0}) << " Host: " << c.host;
  }
}

// Bytes that record which places were read.
struct CountingBytes {
  std::string_view text;
  mutable std::set<std::size_t>* read;
  std::size_t size() const { return text.size(); }
  char operator[](std::size_t i) const {
    read->insert(i);
    return text[i];
  }
};

TEST(LanAccessTest, ComparisonReadsEveryByteOfTheKeyWhereverTheyDiffer) {
  const std::string key = "0123456789abcdef";
  struct Case {
    std::string given;
    bool equal;
  } cases[] = {
      {key, true},
      {"X123456789abcdef", false},  // the first byte differs
      {"01234567X9abcdef", false},
      {"0123456789abcdeX", false},  // the last byte
      {"XXXXXXXXXXXXXXXX", false},
      {"0123456789abcde", false},  // a prefix of it
      {"0123456789abcdef0", false},
      {"", false},
      {"X", false},
      {std::string(100, 'a'), false},
  };
  for (const Case& c : cases) {
    std::set<std::size_t> read_given, read_key;
    EXPECT_EQ(constant_time_equal(CountingBytes{c.given, &read_given}, CountingBytes{key, &read_key}), c.equal)
        << c.given;
    EXPECT_EQ(read_key.size(), key.size()) << c.given;
    EXPECT_EQ(read_given.size(), std::min(c.given.size(), key.size())) << c.given;
    EXPECT_EQ(keys_equal(c.given, key), c.equal) << c.given;
  }
}

TEST(LanAccessTest, OnlyThisComputersOwnPageOrAProgramMayChangeThePlan) {
  const std::tuple<std::uint32_t, std::string, bool> cases[] = {
      {LOOPBACK, "", true},  // a program: curl, a script
      {LOOPBACK_2, "http://localhost:49080", true},
      {LOOPBACK, "http://127.0.0.1:49080", true},
      {LOOPBACK, "http://127.0.0.1:49081", false},
      {LOOPBACK, "http://rebound.example:49080", false},
      {LOOPBACK, "null", false},  // a page from disk or a sandbox
      {TABLET, "", false},
      {OTHER, "http://localhost:49080", false},
  };
  for (const auto& [peer, origin, allowed] : cases)
    EXPECT_EQ(may_change_plan(peer, origin, 49080), allowed) << platform::format_address({peer, 0}) << " " << origin;
}

TEST(LanAccessTest, Keys) {
  struct Case {
    std::string key;
    bool valid;
  } cases[] = {
      {"abcdefghijklmnop", true},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ-._~09", true},
      {"abcdefghijklmno", false},  // 15
      {"", false},
      {"abcdefghijklmnop ", false},
      {"abcdefghijklmnop/", false},
      {"abcdefghijklmnop&", false},
      {"abcdefghijklmnop%", false},
      {"abcdefghijklmnop+", false},
      {"abcdefghijklmnop#", false},
      {"abcdefghijklmnop\xC3\xA9", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_key(c.key), c.valid) << c.key;
  const unsigned char bytes[KEY_RANDOM_BYTES] = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xff, 0x10, 0x09,
                                                 0xc3, 0x3c, 0x5a, 0xa5, 0xde, 0xad, 0xbe, 0xef};
  std::string key = key_from_bytes(bytes);
  EXPECT_EQ(key, "00017f80abff1009c33c5aa5deadbeef");
  EXPECT_TRUE(is_valid_key(key));
}

TEST(LanAccessTest, QueryParameters) {
  EXPECT_EQ(query_parameter("key=a", "key"), "a");
  EXPECT_EQ(query_parameter("x=1&key=a&y", "key"), "a");
  EXPECT_EQ(query_parameter("key=a&key=b", "key"), "a");
  EXPECT_EQ(query_parameter("&&key=a=b&", "key"), "a=b");
  EXPECT_EQ(query_parameter("key=", "key"), "");
  EXPECT_EQ(query_parameter("key", "key"), std::nullopt);
  EXPECT_EQ(query_parameter("keys=a&ke=a&Key=a", "key"), std::nullopt);
  EXPECT_EQ(query_parameter("", "key"), std::nullopt);
}

TEST(LanAccessTest, TabletAddressesAndLines) {
  using platform::InterfaceAddress;
  std::vector<InterfaceAddress> addresses = {
      {0x7F000001, true, true},                               // loopback
      {0xC0A80117, true, false},                              // 192.168.1.23
      {0xA9FE0A0B, true, false},                              // 169.254.10.11, link-local
      {0x0A000005, false, false},                             // 10.0.0.5, down
      {0x7F000002, true, false},                              // a loopback address on another interface
      {0x00000000, true, false},  {0xAC100001, true, false},  // 172.16.0.1
      {0xA9FF0001, true, false},                              // 169.255.0.1 is not link-local
  };
  std::vector<std::string> urls = tablet_urls(addresses, LAN);
  ASSERT_EQ(urls, (std::vector<std::string>{
                      "http://192.168.1.23:49080/map?key=0123456789abcdef0123456789abcdef",
                      "http://172.16.0.1:49080/map?key=0123456789abcdef0123456789abcdef",
                      "http://169.255.0.1:49080/map?key=0123456789abcdef0123456789abcdef",
                  }));
  EXPECT_EQ(tablet_lines({urls[0], urls[1]}),
            "\xE2\x86\x92 tablet: http://192.168.1.23:49080/map?key=0123456789abcdef0123456789abcdef\n"
            "\xE2\x86\x92 tablet: http://172.16.0.1:49080/map?key=0123456789abcdef0123456789abcdef\n");
  EXPECT_EQ(tablet_lines({}), "");
  EXPECT_EQ(tablet_json({urls[0], urls[1]}),
            "{\"urls\":[\"http://192.168.1.23:49080/map?key=0123456789abcdef0123456789abcdef\","
            "\"http://172.16.0.1:49080/map?key=0123456789abcdef0123456789abcdef\"]}");
  EXPECT_EQ(tablet_json({}), "{\"urls\":[]}");
}

TEST(LanAccessTest, SlotsCapOtherMachinesAndComeBack) {
  auto slots = std::make_shared<LanSlots>();
  std::vector<LanSlots::Slot> held;
  for (int i = 0; i < MAX_LAN_CONNECTIONS_PER_ADDRESS; ++i) {
    auto slot = slots->take(TABLET);
    ASSERT_TRUE(slot.has_value()) << i;
    held.push_back(std::move(*slot));
  }
  EXPECT_FALSE(slots->take(TABLET).has_value());  // that address is full
  EXPECT_EQ(slots->held_by(TABLET), MAX_LAN_CONNECTIONS_PER_ADDRESS);
  for (std::uint32_t peer = OTHER; slots->held() < MAX_LAN_CONNECTIONS; ++peer) {
    auto slot = slots->take(peer);
    ASSERT_TRUE(slot.has_value()) << peer;
    held.push_back(std::move(*slot));
  }
  EXPECT_FALSE(slots->take(0x0A000001).has_value());  // all are full
  EXPECT_EQ(slots->held_by(0x0A000001), 0);
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(slots->take(LOOPBACK_2).has_value());  // never counted
  EXPECT_EQ(slots->held(), MAX_LAN_CONNECTIONS);
  held.erase(held.begin());  // one of the tablet's ends
  EXPECT_EQ(slots->held(), MAX_LAN_CONNECTIONS - 1);
  EXPECT_EQ(slots->held_by(TABLET), MAX_LAN_CONNECTIONS_PER_ADDRESS - 1);
  EXPECT_TRUE(slots->take(0x0A000001).has_value());  // taken, and given back at once
  EXPECT_TRUE(slots->take(TABLET).has_value());
  held.clear();
  EXPECT_EQ(slots->held(), 0);
  EXPECT_EQ(slots->held_by(TABLET), 0);
}

}  // namespace

}  // namespace tavrik
