// The track the feeds record, on a clock of the test's own: one point per
// wall-clock second, segments at gaps of the live window, the 24-hour bound,
// and its JSON, GPX and KML forms.
#include "state/track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <regex>

#include "state/live_state.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t T0 = 1796807100000;  // 2026-12-09T09:05:00.000Z

// A bridge's state on a fake clock: each sample goes the feeds' way
// (values, mark_updated, record_track_point).
struct FakeFeed {
  SharedState holder = make_shared_state();
  Instant start{};

  // A sample `mono` after the start with wall clock T0 + `wall_ms`.
  void sample(MonotonicClock::duration mono, std::uint64_t wall_ms, std::optional<double> lat = 47.5,
              std::optional<double> lon = 8.25, std::optional<double> alt = 500) {
    std::lock_guard<std::mutex> lock(holder->mutex);
    LiveState& record = holder->record;
    record.sim = SimKind::xp;
    record.values[Value::LAT] = lat;
    record.values[Value::LON] = lon;
    record.values[Value::ALT] = alt;
    mark_updated(record, start + mono, WallClock::time_point(std::chrono::milliseconds(T0 + wall_ms)));
    record_track_point(*holder);
  }
  TrackCopy copy() {
    std::lock_guard<std::mutex> lock(holder->mutex);
    return copy_track(holder->track);
  }
  std::string json(std::optional<std::uint64_t> since = std::nullopt) { return track_json(copy(), since); }
};

std::string point(std::uint64_t wall_ms, const char* rest = "47.5,8.25,500") {
  return "[" + std::to_string(T0 + wall_ms) + "," + rest + "]";
}

TEST(TrackTest, OnePointPerWallClockSecondTheNewestWins) {
  FakeFeed feed;
  // 5 Hz for 3 s, the wall clock 100 ms into its second at the start.
  for (int i = 0; i < 15; ++i) feed.sample(i * 200ms, 100 + i * 200, 47.0 + i / 128.0, 8.0 + i / 128.0);
  EXPECT_EQ(feed.json(), "{\"segments\":[{\"id\":0,\"points\":[" + point(900, "47.03125,8.03125,500") + "," +
                             point(1900, "47.0703125,8.0703125,500") + "," + point(2900, "47.109375,8.109375,500") +
                             "]}]}");
}

TEST(TrackTest, SegmentsBeginAtGapsOfTheLiveWindow) {
  FakeFeed feed;
  feed.sample(0ms, 0);
  feed.sample(2999ms, 2999);  // 2.999 s: the same stretch
  feed.sample(5999ms, 5999);  // 3 s after the previous sample: a new one
  // Not live (no finite lat or lon): neither recorded nor counted as the previous sample.
  feed.sample(6500ms, 6500, std::nullopt);
  feed.sample(7000ms, 7000, std::numeric_limits<double>::quiet_NaN());
  feed.sample(7500ms, 7500, 47.5, std::numeric_limits<double>::infinity());
  feed.sample(8998ms, 8998);  // 2.999 s after the last recorded one
  // The monotonic clock decides, not the wall clock: a gap in the same wall second.
  feed.sample(11998ms, 8999);
  EXPECT_EQ(feed.json(), "{\"segments\":[{\"id\":0,\"points\":[" + point(0) + "," + point(2999) +
                             "]},{\"id\":1,\"points\":[" + point(5999) + "," + point(8998) +
                             "]},{\"id\":2,\"points\":[" + point(8999) + "]}]}");
}

// Faster than 10 km/s is no flight; the feeds' end-to-end tests show the
// segments a jump begins.
TEST(TrackTest, JumpsAreFasterThanAnyAircraft) {
  const TrackPoint at{0, 47.5, 8.25};
  auto north = [&](double degrees) { return TrackPoint{0, at.lat + degrees, at.lon}; };  // 111,195 m a degree
  EXPECT_FALSE(is_jump(at, north(0.089), 1s));
  EXPECT_TRUE(is_jump(at, north(0.091), 1s));
  EXPECT_FALSE(is_jump(at, north(0.0179), 0ms));  // arriving together: counted over 200 ms
  EXPECT_TRUE(is_jump(at, north(0.0181), 10ms));
}

TEST(TrackTest, AltitudeAbsentOrNotFiniteIsNullAndNumbersKeepTheSnapshotForm) {
  FakeFeed feed;
  feed.sample(0ms, 0, 47.46200180053711, -0.0, std::nullopt);
  feed.sample(1000ms, 1000, 1e-7, 250.0, std::numeric_limits<double>::infinity());
  feed.sample(2000ms, 2000, -33.5, 151.25, 1e21);
  // Each a jump from the one before: a segment of its own.
  EXPECT_EQ(feed.json(), "{\"segments\":[{\"id\":0,\"points\":[" + point(0, "47.46200180053711,-0,null") +
                             "]},{\"id\":1,\"points\":[" + point(1000, "0.0000001,250,null") +
                             "]},{\"id\":2,\"points\":[" + point(2000, "-33.5,151.25,1000000000000000000000") + "]}]}");
}

TEST(TrackTest, SinceKeepsOnlyLaterPointsAndLeavesEmptySegmentsOut) {
  FakeFeed feed;
  feed.sample(0ms, 0);
  feed.sample(1000ms, 1000);
  feed.sample(5000ms, 5000);
  feed.sample(6000ms, 6000);
  EXPECT_EQ(feed.json(T0 + 1000), "{\"segments\":[{\"id\":1,\"points\":[" + point(5000) + "," + point(6000) + "]}]}");
  EXPECT_EQ(feed.json(T0 + 999), "{\"segments\":[{\"id\":0,\"points\":[" + point(1000) + "]},{\"id\":1,\"points\":[" +
                                     point(5000) + "," + point(6000) + "]}]}");
  EXPECT_EQ(feed.json(T0 + 6000), "{\"segments\":[]}");
  EXPECT_EQ(feed.json(0), feed.json());
  EXPECT_EQ(FakeFeed().json(), "{\"segments\":[]}");
}

TEST(TrackTest, HoldsTwentyFourHoursThenTheOldestGo) {
  FakeFeed feed;
  constexpr std::uint64_t EXTRA = 1500;
  // Segment 0: the first 10 s; segment 1 (after a 5 s gap): the rest.
  for (std::uint64_t s = 0; s < TRACK_MAX_POINTS + EXTRA; ++s) {
    std::uint64_t at = s < 10 ? s : s + 5;
    feed.sample(std::chrono::seconds(at), at * 1000);
  }
  TrackCopy copy = feed.copy();
  EXPECT_EQ(feed.holder->track.size, TRACK_MAX_POINTS);
  std::string json = track_json(copy, std::nullopt);
  // Segment 0 has gone; segment 1 lost its first points and keeps its id.
  std::string first = point((EXTRA + 5) * 1000);
  EXPECT_TRUE(json.starts_with("{\"segments\":[{\"id\":1,\"points\":[" + first + ",")) << json.substr(0, 80);
  EXPECT_EQ(std::count(json.begin(), json.end(), '['), static_cast<std::ptrdiff_t>(TRACK_MAX_POINTS + 2));
  EXPECT_EQ(json.find("\"id\":0"), std::string::npos);
  EXPECT_TRUE(json.ends_with("," + point((TRACK_MAX_POINTS + EXTRA + 4) * 1000) + "]}]}"));
  // Memory stays with the points held: the chunks that went are freed.
  EXPECT_LE(feed.holder->track.sealed.size(), TRACK_MAX_POINTS / TRACK_CHUNK_POINTS + 1);
}

TEST(TrackTest, ACopyStaysAsItWasTaken) {
  FakeFeed feed;
  for (std::uint64_t s = 0; s < TRACK_CHUNK_POINTS + 3; ++s) feed.sample(std::chrono::seconds(s), s * 1000);
  TrackCopy copy = feed.copy();
  std::string before = track_json(copy, std::nullopt);
  feed.sample(std::chrono::seconds(TRACK_CHUNK_POINTS + 2) + 500ms, (TRACK_CHUNK_POINTS + 2) * 1000 + 500, 1.0);
  for (std::uint64_t s = 0; s < TRACK_CHUNK_POINTS; ++s)
    feed.sample(std::chrono::hours(1) + std::chrono::seconds(s), s);
  EXPECT_EQ(track_json(copy, std::nullopt), before);
}

TEST(TrackTest, GpxAsThePageWroteIt) {
  FakeFeed feed;
  EXPECT_EQ(
      track_gpx(feed.copy()),
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"tavrik live map\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
      "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
      "<trk><name>tavrik track</name>\n</trk>\n</gpx>\n");
  EXPECT_EQ(track_file_name(feed.copy(), "gpx"), "tavrik-track.gpx");
  feed.sample(0ms, 7, 0.0625, -0.5, 432.5);
  feed.sample(1000ms, 1007, 1e-7, -0.5, std::nullopt);
  feed.sample(5000ms, 65007, -1.0, 2.0, -3.25);
  std::string gpx = track_gpx(feed.copy());
  std::string body = gpx.substr(gpx.find("<trkseg>"));
  EXPECT_EQ(body,
            "<trkseg>\n"
            "<trkpt lat=\"0.0625\" lon=\"-0.5\"><ele>432.5</ele><time>2026-12-09T09:05:00.007Z</time></trkpt>\n"
            "<trkpt lat=\"0.0000001\" lon=\"-0.5\"><time>2026-12-09T09:05:01.007Z</time></trkpt>\n"
            "</trkseg><trkseg>\n"
            "<trkpt lat=\"-1\" lon=\"2\"><ele>-3.25</ele><time>2026-12-09T09:06:05.007Z</time></trkpt>\n"
            "</trkseg>\n</trk>\n</gpx>\n");
  EXPECT_EQ(track_file_name(feed.copy(), "gpx"), "tavrik-track-20261209-090500Z.gpx");
}

// Each segment's "lon,lat[,alt]" tuples found by `pattern` in `xml`, whose
// tags must nest and close (all the parsing our own text needs).
std::vector<std::vector<std::string>> segments_in(const std::string& xml, const std::string& segment,
                                                  const std::string& point, const std::string& tuple) {
  const std::regex tag_pattern("<(/?)([A-Za-z]+)[^>]*?(/?)>"), segment_pattern(segment), point_pattern(point);
  std::vector<std::string> open;
  for (std::sregex_iterator tag(xml.begin(), xml.end(), tag_pattern), end; tag != end; ++tag) {
    if ((*tag)[3].length()) continue;  // <empty/>
    if (!(*tag)[1].length())
      open.push_back((*tag)[2]);
    else if (open.empty() || open.back() != (*tag)[2])
      return {{"badly nested"}};
    else
      open.pop_back();
  }
  if (!open.empty()) return {{"unclosed " + open.back()}};
  std::vector<std::vector<std::string>> segments;
  for (std::sregex_iterator s(xml.begin(), xml.end(), segment_pattern), end; s != end; ++s) {
    std::string text = s->str(1);
    segments.emplace_back();
    for (std::sregex_iterator p(text.begin(), text.end(), point_pattern); p != end; ++p)
      segments.back().push_back(std::regex_replace(p->format(tuple), std::regex(",$"), ""));
  }
  return segments;
}

TEST(TrackTest, KmlHoldsTheGpxPointsOnePlacemarkPerSegment) {
  FakeFeed feed;
  feed.sample(0ms, 7, 0.0625, -0.5, 432.5);
  feed.sample(1000ms, 1007, 1e-7, -0.5, std::nullopt);
  feed.sample(5000ms, 65007, -1.0, 2.0, -3.25);
  std::string kml = track_kml(feed.copy());
  EXPECT_EQ(kml,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n"
            "<Document><name>tavrik track</name>\n<Placemark><name>2026-12-09T09:05:00.007Z</name><LineString>"
            "<altitudeMode>absolute</altitudeMode><coordinates>-0.5,0.0625,432.5 -0.5,0.0000001</coordinates>"
            "</LineString></Placemark>\n<Placemark><name>2026-12-09T09:06:05.007Z</name><Point><altitudeMode>"
            "absolute</altitudeMode><coordinates>2,-1,-3.25</coordinates></Point></Placemark>\n</Document>\n</kml>\n");
  auto from_kml = segments_in(kml, "<coordinates>(.*?)</coordinates>", "\\S+", "$&");
  EXPECT_EQ(from_kml.size(), 2u);
  EXPECT_EQ(from_kml, segments_in(track_gpx(feed.copy()), "<trkseg>([\\s\\S]*?)</trkseg>",
                                  "lat=\"(.*?)\" lon=\"(.*?)\">(?:<ele>(.*?)</ele>)?", "$2,$1,$3"));
  EXPECT_EQ(track_file_name(feed.copy(), "kml"), "tavrik-track-20261209-090500Z.kml");
}

TEST(TrackTest, TimesAsJavaScriptWritesThem) {
  struct Case {
    std::uint64_t t;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {951827696789, "2000-02-29T12:34:56.789Z"},
      {4107542400000 - 1, "2100-02-28T23:59:59.999Z"},  // no leap day in 2100
      {4107542400000, "2100-03-01T00:00:00.000Z"},
      {T0 + 59999, "2026-12-09T09:05:59.999Z"},
      {253402300799999, "9999-12-31T23:59:59.999Z"},
      {253402300800000, "+010000-01-01T00:00:00.000Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(iso_time(c.t), c.text) << c.t;
}

}  // namespace

}  // namespace tavrik
