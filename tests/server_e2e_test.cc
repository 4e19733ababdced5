// The built bridge's HTTP server, reached over loopback like a browser would.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <thread>

#include "server/builtin_files.h"
#include "support/test_support.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ServerE2eTest, StateAndPreflight) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  // Only this computer's 127.0.0.1 is served: another loopback address on the
  // same port finds nobody, as the network would.
  int error = 0;
  EXPECT_FALSE(platform::connect_tcp(*platform::parse_ipv4("127.0.0.2", bridge.port), &error).valid());
  EXPECT_EQ(http_exchange(bridge.port, "GET /state HTTP/1.1\r\nHost: localhost\r\n\r\n"), NOT_LIVE_JSON);
  EXPECT_EQ(http_exchange(bridge.port, "OPTIONS /state HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 204 No Content\r\n" + CORS_BLOCK + "Content-Length: 0\r\n\r\n");
  // The bridge's own page may clear the plan: its origin names the port listened on.
  EXPECT_EQ(http_exchange(bridge.port, "DELETE /plan HTTP/1.1\r\nOrigin: http://localhost:" +
                                           std::to_string(bridge.port) + "\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n\r\n{\"waypoints\":[]}");
}

// What "/map" serves, written out apart from the program's list: the file
// below map/ and its type.
struct MapFile {
  const char* url;
  const char* file;
  const char* type;
};
const MapFile MAP_FILES[] = {
    {"/map", "index.html", "text/html; charset=utf-8"},
    {"/map/main.js", "main.js", "text/javascript; charset=utf-8"},
    {"/map/where.js", "where.js", "text/javascript; charset=utf-8"},
    {"/map/settings.js", "settings.js", "text/javascript; charset=utf-8"},
    {"/map/units.js", "units.js", "text/javascript; charset=utf-8"},
    {"/map/connection.js", "connection.js", "text/javascript; charset=utf-8"},
    {"/map/track.js", "track.js", "text/javascript; charset=utf-8"},
    {"/map/basemap.js", "basemap.js", "text/javascript; charset=utf-8"},
    {"/map/aircraft.js", "aircraft.js", "text/javascript; charset=utf-8"},
    {"/map/turn.js", "turn.js", "text/javascript; charset=utf-8"},
    {"/map/panel.js", "panel.js", "text/javascript; charset=utf-8"},
    {"/map/profile.js", "profile.js", "text/javascript; charset=utf-8"},
    {"/map/tablet.js", "tablet.js", "text/javascript; charset=utf-8"},
    {"/map/plan_layer.js", "plan_layer.js", "text/javascript; charset=utf-8"},
    {"/map/traffic.js", "traffic.js", "text/javascript; charset=utf-8"},
    {"/map/plan/read_plan.js", "plan/read_plan.js", "text/javascript; charset=utf-8"},
    {"/map/plan/pln.js", "plan/pln.js", "text/javascript; charset=utf-8"},
    {"/map/plan/fms.js", "plan/fms.js", "text/javascript; charset=utf-8"},
    {"/map/plan/gpx.js", "plan/gpx.js", "text/javascript; charset=utf-8"},
    {"/map/plan/xml.js", "plan/xml.js", "text/javascript; charset=utf-8"},
    {"/map/plan/route.js", "plan/route.js", "text/javascript; charset=utf-8"},
    {"/map/plan/next_waypoint.js", "plan/next_waypoint.js", "text/javascript; charset=utf-8"},
    {"/map/leaflet/leaflet.js", "leaflet/leaflet.js", "text/javascript; charset=utf-8"},
    {"/map/leaflet/leaflet.css", "leaflet/leaflet.css", "text/css; charset=utf-8"},
    {"/map/leaflet/images/layers.png", "leaflet/images/layers.png", "image/png"},
    {"/map/leaflet/images/layers-2x.png", "leaflet/images/layers-2x.png", "image/png"},
    {"/map/leaflet/images/marker-icon.png", "leaflet/images/marker-icon.png", "image/png"},
    {"/map/leaflet/images/marker-icon-2x.png", "leaflet/images/marker-icon-2x.png", "image/png"},
    {"/map/leaflet/images/marker-shadow.png", "leaflet/images/marker-shadow.png", "image/png"},
    {"/map/qrcode-generator/qrcode.js", "qrcode-generator/qrcode.js", "text/javascript; charset=utf-8"},
    {"/map/uplot/uPlot.iife.min.js", "uplot/uPlot.iife.min.js", "text/javascript; charset=utf-8"},
    {"/map/uplot/uPlot.min.css", "uplot/uPlot.min.css", "text/css; charset=utf-8"},
};

std::uint32_t crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

std::uint32_t le32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

// A gzip member of `file`: deflate, no name and no time (so builds repeat),
// and a trailer with the CRC-32 and length of exactly the file's bytes.
void expect_gzip_of(const std::string& gzip, const std::string& file, const std::string& name) {
  ASSERT_GT(gzip.size(), 18u) << name;
  EXPECT_EQ(gzip.substr(0, 8), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8)) << name;
  EXPECT_EQ(le32(gzip.substr(gzip.size() - 8, 4)), crc32(file)) << name;
  EXPECT_EQ(le32(gzip.substr(gzip.size() - 4)), file.size()) << name;
  EXPECT_LT(gzip.size(), file.size()) << name;
}

TEST(ServerE2eTest, MapServesEachFileOfTheMapFolderAsItIs) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  EXPECT_EQ(builtin_files().size(), std::size(MAP_FILES));
  for (const MapFile& map_file : MAP_FILES) {
    std::string name = map_file.url;
    std::string file = ::tavrik::map_file(map_file.file);
    ASSERT_FALSE(file.empty()) << map_file.file;
    std::string request = "GET " + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    HttpAnswer whole = split_answer(http_exchange(bridge.port, request + "\r\n"));
    EXPECT_EQ(whole.head.substr(0, 17 + CORS_BLOCK.size()), "HTTP/1.1 200 OK\r\n" + CORS_BLOCK) << name;
    EXPECT_EQ(header_value(whole.head, "Content-Type"), map_file.type) << name;
    EXPECT_EQ(header_value(whole.head, "Content-Length"), std::to_string(file.size())) << name;
    EXPECT_EQ(header_value(whole.head, "Content-Encoding"), "") << name;
    EXPECT_TRUE(whole.body == file) << name << ": the body differs from map/" << map_file.file;
    std::string etag = header_value(whole.head, "ETag");
    EXPECT_EQ(etag.size(), 66u) << name << ": " << etag;

    // Asked again with its ETag: 304, no body.
    std::string again = http_exchange(bridge.port, request + "If-None-Match: " + etag + "\r\n\r\n");
    EXPECT_EQ(again.substr(0, 27 + CORS_BLOCK.size()), "HTTP/1.1 304 Not Modified\r\n" + CORS_BLOCK) << name;
    EXPECT_TRUE(again.ends_with("\r\nETag: " + etag +
                                "\r\nCache-Control: no-cache\r\nReferrer-Policy: no-referrer\r\n"
                                "X-Content-Type-Options: nosniff\r\n\r\n"))
        << again;

    // Text compresses well: gzip for a client that takes it.
    HttpAnswer zipped =
        split_answer(http_exchange(bridge.port, request + "Accept-Encoding: gzip, deflate, br\r\n\r\n"));
    if (std::string_view(map_file.type).starts_with("text/")) {
      EXPECT_EQ(header_value(zipped.head, "Content-Encoding"), "gzip") << name;
      EXPECT_EQ(header_value(zipped.head, "Content-Length"), std::to_string(zipped.body.size())) << name;
      expect_gzip_of(zipped.body, file, name);
    } else if (header_value(zipped.head, "Content-Encoding").empty()) {
      EXPECT_TRUE(zipped.body == file) << name;
    } else {
      expect_gzip_of(zipped.body, file, name);
    }
  }
}

TEST(ServerE2eTest, NothingElseBelowMap) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  for (std::string path :
       {"/map/", "/map/index.html", "/map/leaflet/LICENSE", "/map/unknown.js", "/map/../map",
        "/map/..%2fCMakeLists.txt", "/map/%2e%2e/%2e%2e/CMakeLists.txt", "/map/leaflet/%2E%2E/index.html",
        "/map//leaflet/leaflet.js", "/map/leaflet/../../README.md", "/map/leaflet\\leaflet.js"})
    EXPECT_EQ(http_exchange(bridge.port, "GET " + path + " HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n"), TEXT_ANSWER)
        << path;
}

TEST(ServerE2eTest, StreamSendsRetryThenEvents) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  platform::Socket client = connect_loopback(bridge.port);
  platform::send_all(client, "GET /stream HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
  std::string got = read_until(client, "retry: 2000\n\n", 5s);
  auto header_at = Clock::now();
  if (got.find(NOT_LIVE_EVENT) == std::string::npos) got += read_until(client, "\n\n", 5s);  // unless it came along
  auto first_at = Clock::now();
  EXPECT_EQ(got, "HTTP/1.1 200 OK\r\n" + CORS_BLOCK +
                     "Content-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: keep-alive\r\n\r\n"
                     "retry: 2000\n\n" +
                     NOT_LIVE_EVENT);
  EXPECT_EQ(read_until(client, NOT_LIVE_EVENT, 5s), NOT_LIVE_EVENT);  // the heartbeat
  auto beat_at = Clock::now();
  // The first event follows the header at once, not a heartbeat later; the
  // heartbeat comes about 1.1 s after it.
  EXPECT_LT(first_at - header_at, 600ms);
  EXPECT_GE(beat_at - first_at, 700ms);
  EXPECT_LT(beat_at - first_at, 2500ms);
}

TEST(ServerE2eTest, ManyClientsWhileAStreamIsOpen) {
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  platform::Socket stream = connect_loopback(bridge.port);
  platform::send_all(stream, "GET /stream HTTP/1.1\r\n\r\n");
  ASSERT_NE(read_until(stream, NOT_LIVE_EVENT, 5s).find(NOT_LIVE_EVENT), std::string::npos);

  constexpr int CLIENTS = 50;
  std::vector<platform::Socket> clients;
  for (int i = 0; i < CLIENTS; ++i) clients.push_back(connect_loopback(bridge.port));
  for (auto& client : clients) platform::send_all(client, "GET /state HTTP/1.1\r\n\r\n");
  int answered = 0;
  for (auto& client : clients) answered += read_until(client, "{\"live\":false}", 10s) == NOT_LIVE_JSON;
  EXPECT_EQ(answered, CLIENTS);
  EXPECT_EQ(read_until(stream, NOT_LIVE_EVENT, 5s), NOT_LIVE_EVENT);  // the stream goes on
}

TEST(ServerE2eTest, UnfinishedHeadIsAnsweredWhenTheReceiveTimesOut) {
  // Real time: the 5 s receive time-out, in the units each system expects;
  // three clients side by side, each answered 5 s after its request line.
  RunningBridge bridge = start_quiet_bridge();
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  std::vector<std::thread> clients;
  std::vector<std::chrono::steady_clock::duration> waited(3);
  std::vector<std::string> got(3);
  for (std::size_t i = 0; i < waited.size(); ++i)
    clients.emplace_back([&, i] {
      platform::Socket client = connect_loopback(bridge.port);
      auto start = std::chrono::steady_clock::now();
      platform::send_all(client, "GET /state HTTP/1.1\r\n");
      got[i] = read_until(client, "{\"live\":false}", 15s);
      waited[i] = std::chrono::steady_clock::now() - start;
    });
  for (auto& client : clients) client.join();
  for (std::size_t i = 0; i < waited.size(); ++i) {
    EXPECT_EQ(got[i], NOT_LIVE_JSON);
    EXPECT_GE(waited[i], 4s);
    EXPECT_LE(waited[i], 8s);
  }
}

}  // namespace

}  // namespace tavrik
