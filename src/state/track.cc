#include "state/track.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "state/live_state.h"

namespace tavrik {
namespace {

void seal_open_chunk(Track& track) {
  track.sealed.push_back(std::make_shared<const TrackChunk>(std::move(track.open)));
  track.open = TrackChunk{};
  track.open.points.reserve(TRACK_CHUNK_POINTS);
}

void drop_oldest_point(Track& track) {
  --track.size;
  if (++track.dropped < track.sealed.front()->points.size()) return;
  track.sealed.pop_front();
  track.dropped = 0;
}

void append_point(Track& track, const TrackPoint& point, bool new_segment) {
  if (track.open.points.size() == TRACK_CHUNK_POINTS) seal_open_chunk(track);
  std::uint64_t segment = new_segment ? track.segments++ : track.segments - 1;
  if (track.open.points.empty()) track.open.first_segment = segment;
  track.open.starts[track.open.points.size()] = new_segment;
  track.open.points.push_back(point);
  if (++track.size > TRACK_MAX_POINTS) drop_oldest_point(track);
}

// Calls visit(point, segment id) for every point held, oldest first.
template <typename Visit>
void for_each_point(const TrackCopy& track, Visit visit) {
  auto walk = [&](const TrackChunk& chunk, std::size_t from) {
    std::uint64_t segment = chunk.first_segment;
    for (std::size_t i = 0; i < chunk.points.size(); ++i) {
      if (i > 0 && chunk.starts[i]) ++segment;
      if (i >= from) visit(chunk.points[i], segment);
    }
  };
  for (std::size_t c = 0; c < track.sealed.size(); ++c) walk(*track.sealed[c], c == 0 ? track.dropped : 0);
  walk(track.open, 0);
}

const TrackPoint* first_point(const TrackCopy& track) {
  if (!track.sealed.empty()) return &track.sealed.front()->points[track.dropped];
  return track.open.points.empty() ? nullptr : &track.open.points.front();
}

void append_digits(std::string& out, std::uint64_t value, int width) {
  std::string digits = std::to_string(value);
  if (digits.size() < static_cast<std::size_t>(width)) out.append(width - digits.size(), '0');
  out += digits;
}

// Year, month and day of a day count since 1970-01-01 (proleptic Gregorian).
struct CivilDate {
  std::int64_t year;
  unsigned month, day;
};
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;  // from 0000-03-01, so that leap days end each 400-year era's years
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto day_of_era = static_cast<std::uint64_t>(days - era * 146097);
  std::uint64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  auto day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  auto month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

}  // namespace

double distance_m(const TrackPoint& from, const TrackPoint& to) {
  constexpr double EARTH_RADIUS_M = 6371008.8;
  constexpr double RADIANS = std::numbers::pi / 180;
  double half_lat = std::sin((to.lat - from.lat) * RADIANS / 2);
  double half_lon = std::sin((to.lon - from.lon) * RADIANS / 2);
  double h = half_lat * half_lat + std::cos(from.lat * RADIANS) * std::cos(to.lat * RADIANS) * half_lon * half_lon;
  return 2 * EARTH_RADIUS_M * std::asin(std::sqrt(std::clamp(h, 0.0, 1.0)));
}

bool is_jump(const TrackPoint& from, const TrackPoint& to, std::chrono::steady_clock::duration elapsed) {
  std::chrono::duration<double> counted = std::max<std::chrono::steady_clock::duration>(elapsed, JUMP_MIN_INTERVAL);
  return distance_m(from, to) > JUMP_SPEED * counted.count();
}

void record_point(Track& track, TrackInstant at, const TrackPoint& point, std::chrono::steady_clock::duration gap) {
  bool new_segment = !track.last_sample || (at >= *track.last_sample && at - *track.last_sample >= gap) ||
                     is_jump(track.open.points.back(), point, at - *track.last_sample);
  track.last_sample = at;
  if (!new_segment && track.open.points.back().t / 1000 == point.t / 1000) {
    track.open.points.back() = point;  // the newest sample of a second wins
    return;
  }
  append_point(track, point, new_segment);
}

TrackCopy copy_track(const Track& track) {
  return {{track.sealed.begin(), track.sealed.end()}, track.dropped, track.open};
}

std::string track_json(const TrackCopy& track, std::optional<std::uint64_t> since) {
  std::string out = "{\"segments\":[";
  std::optional<std::uint64_t> current;
  for_each_point(track, [&](const TrackPoint& point, std::uint64_t segment) {
    if (since && point.t <= *since) return;
    if (current == segment) {
      out += ',';
    } else {
      out += current ? "]},{\"id\":" : "{\"id\":";
      out += std::to_string(segment);
      out += ",\"points\":[";
      current = segment;
    }
    out += '[';
    out += std::to_string(point.t);
    out += ',';
    append_number(out, point.lat);
    out += ',';
    append_number(out, point.lon);
    out += ',';
    if (std::isfinite(point.alt)) {
      append_number(out, point.alt);
    } else {
      out += "null";
    }
    out += ']';
  });
  if (current) out += "]}";
  out += "]}";
  return out;
}

std::string track_gpx(const TrackCopy& track) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"tavrik live map\" xmlns=\"http://www.topografix.com/GPX/1/1\""
      " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
      " xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
      "<trk><name>tavrik track</name>\n";
  std::optional<std::uint64_t> current;
  for_each_point(track, [&](const TrackPoint& point, std::uint64_t segment) {
    if (current != segment) out += current ? "</trkseg><trkseg>\n" : "<trkseg>\n";
    current = segment;
    out += "<trkpt lat=\"";
    append_number(out, point.lat);
    out += "\" lon=\"";
    append_number(out, point.lon);
    out += "\">";
    if (std::isfinite(point.alt)) {
      out += "<ele>";
      append_number(out, point.alt);
      out += "</ele>";
    }
    out += "<time>";
    out += iso_time(point.t);
    out += "</time></trkpt>\n";
  });
  if (current) out += "</trkseg>\n";
  out += "</trk>\n</gpx>\n";
  return out;
}

std::string track_kml(const TrackCopy& track) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document><name>tavrik track</name>\n";
  std::string coordinates;
  std::size_t count = 0;
  std::uint64_t first_t = 0;
  auto end_segment = [&] {
    if (count == 0) return;
    // A line needs two points: a stretch of one is a point.
    std::string_view geometry = count > 1 ? "LineString" : "Point";
    out += "<Placemark><name>" + iso_time(first_t) + "</name><" + std::string(geometry) +
           "><altitudeMode>absolute</altitudeMode><coordinates>" + coordinates + "</coordinates></" +
           std::string(geometry) + "></Placemark>\n";
    coordinates.clear();
    count = 0;
  };
  std::optional<std::uint64_t> current;
  for_each_point(track, [&](const TrackPoint& point, std::uint64_t segment) {
    if (current != segment) end_segment();
    if (count++ == 0) first_t = point.t;
    current = segment;
    if (count > 1) coordinates += ' ';
    append_number(coordinates, point.lon);
    coordinates += ',';
    append_number(coordinates, point.lat);
    if (std::isfinite(point.alt)) {
      coordinates += ',';
      append_number(coordinates, point.alt);
    }
  });
  end_segment();
  out += "</Document>\n</kml>\n";
  return out;
}

std::string track_file_name(const TrackCopy& track, std::string_view extension) {
  const TrackPoint* first = first_point(track);
  if (!first) return "tavrik-track." + std::string(extension);
  // The page's name: the time up to its seconds, without "-" and ":", "T" made "-".
  std::string name = "tavrik-track-";
  for (char c : iso_time(first->t).substr(0, 19))
    if (c != '-' && c != ':') name += c == 'T' ? '-' : c;
  return name + "Z." + std::string(extension);
}

std::string iso_time(std::uint64_t t) {
  constexpr std::uint64_t MS_PER_DAY = 86400000;
  CivilDate date = civil_from_days(static_cast<std::int64_t>(t / MS_PER_DAY));
  std::uint64_t ms = t % MS_PER_DAY;
  std::string out;
  if (date.year > 9999) out += '+';
  append_digits(out, static_cast<std::uint64_t>(date.year), date.year > 9999 ? 6 : 4);
  out += '-';
  append_digits(out, date.month, 2);
  out += '-';
  append_digits(out, date.day, 2);
  out += 'T';
  append_digits(out, ms / 3600000, 2);
  out += ':';
  append_digits(out, ms / 60000 % 60, 2);
  out += ':';
  append_digits(out, ms / 1000 % 60, 2);
  out += '.';
  append_digits(out, ms % 1000, 3);
  out += 'Z';
  return out;
}

}  // namespace tavrik
