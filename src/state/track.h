// The flight the bridge keeps from its start: at most one point per
// wall-clock second, in segments of unbroken live data, for the last 24
// hours; and its forms, JSON, GPX 1.1 and KML 2.2.
//
// The track is guarded by the LiveState mutex. Full chunks of points are
// sealed and never change again, so a reader copies out, under the lock, only
// pointers to them and the small open chunk, and formats after releasing it.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct TrackPoint {
  std::uint64_t t = 0;  // wall clock of the sample, ms since 1970
  double lat = 0;       // degrees, finite
  double lon = 0;       // degrees, finite
  double alt = 0;       // metres MSL; NaN when the sample had none (or not a finite one)
};

constexpr std::size_t TRACK_CHUNK_POINTS = 1024;
constexpr std::size_t TRACK_MAX_POINTS = 24 * 60 * 60;  // 24 hours at one point a second

// Points in the order recorded.
struct TrackChunk {
  std::uint64_t first_segment = 0;         // id of the segment that points[0] belongs to
  std::vector<TrackPoint> points;          // at most TRACK_CHUNK_POINTS
  std::bitset<TRACK_CHUNK_POINTS> starts;  // the points that begin a new segment
};

using TrackInstant = std::chrono::steady_clock::time_point;

struct Track {
  std::deque<std::shared_ptr<const TrackChunk>> sealed;  // full, never changed again; oldest first
  std::size_t dropped = 0;                               // leading points of sealed.front() already gone over the bound
  TrackChunk open;                                       // the newest points; the last may still be replaced
  std::size_t size = 0;                                  // points held, at most TRACK_MAX_POINTS
  std::uint64_t segments = 0;                            // segments begun so far: the next one's id
  std::optional<TrackInstant> last_sample;               // monotonic time of the last sample recorded
};

// Faster than any aircraft in either simulator flies (the Space Shuttle
// included), slower than a new flight or a relocation: two samples farther
// apart than this in the time between them were not one flight.
constexpr double JUMP_SPEED = 10000;  // m/s
// Samples queued on the way arrive close together; between two, never less
// than one X-Plane sample's time counts (2 km at JUMP_SPEED).
constexpr auto JUMP_MIN_INTERVAL = std::chrono::milliseconds(200);

// Great-circle distance in metres (mean Earth radius).
double distance_m(const TrackPoint& from, const TrackPoint& to);

// Moving from `from` to `to` in `elapsed` (less than JUMP_MIN_INTERVAL counts
// as that much) is faster than JUMP_SPEED.
bool is_jump(const TrackPoint& from, const TrackPoint& to, std::chrono::steady_clock::duration elapsed);

// What a reader takes out under the lock.
struct TrackCopy {
  std::vector<std::shared_ptr<const TrackChunk>> sealed;
  std::size_t dropped = 0;
  TrackChunk open;
};

// Records a live sample taken at monotonic `at` (mutex held). A sample `gap`
// or more after the previous one, or a jump from it, begins a new segment at
// its place (one bad frame away and back leaves a one-point segment, never a
// line across the map); otherwise one in the
// same wall-clock second (t / 1000) as the last point replaces it. Beyond
// TRACK_MAX_POINTS the oldest point goes.
void record_point(Track& track, TrackInstant at, const TrackPoint& point, std::chrono::steady_clock::duration gap);

// A copy for formatting after the lock is released: O(chunks) pointer copies
// and the open chunk's points.
TrackCopy copy_track(const Track& track);

// {"segments":[{"id":N,"points":[[t,lat,lon,alt],...]},...]} with the points
// whose t is above `since` (all of them when nothing), in the snapshot's
// number form, alt null when absent; segments left without points are left out.
std::string track_json(const TrackCopy& track, std::optional<std::uint64_t> since);

// The whole track as GPX 1.1: one <trkseg> per segment, one <trkpt> with
// <ele> (when known) and <time> per point.
std::string track_gpx(const TrackCopy& track);

// The whole track as KML 2.2: one Placemark per segment, named after its
// first point's time, holding a LineString (a Point for a lone point) with
// altitudes absolute, "lon,lat,alt" (",alt" left out when unknown).
std::string track_kml(const TrackCopy& track);

// "tavrik-track-YYYYMMDD-HHMMSSZ.<extension>" after the first point's time
// (UTC), or "tavrik-track.<extension>" for an empty track.
std::string track_file_name(const TrackCopy& track, std::string_view extension);

// `t` (ms since 1970) in ISO 8601 UTC with milliseconds, as JavaScript's
// toISOString writes it: "2026-12-09T09:05:00.000Z" (years past 9999 as "+YYYYYY").
std::string iso_time(std::uint64_t t);

}  // namespace tavrik
