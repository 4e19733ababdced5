// The one record shared by every thread: the newest aircraft values, when they
// were stamped and by which simulator, and the live snapshot JSON built from it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "state/plan.h"
#include "state/track.h"
#include "state/traffic.h"

namespace tavrik {

using MonotonicClock = std::chrono::steady_clock;
using Instant = MonotonicClock::time_point;
using WallClock = std::chrono::system_clock;

// Which simulator stamped the last update.
enum class SimKind : std::uint8_t { xp = 0, msfs = 1, none = 2 };

// The aircraft values, in the order of `LiveState::values`, of the JSON and
// of X-Plane's subscription indices.
enum class Value : std::size_t { LAT, LON, ALT, HDG, GS, IAS, VS, AGL };

// Field names in value order, as written in the JSON.
constexpr std::array VALUE_NAMES{"lat", "lon", "alt", "hdg", "gs", "ias", "vs", "agl"};
constexpr std::size_t VALUE_COUNT = VALUE_NAMES.size();

constexpr std::size_t index_of(Value value) { return static_cast<std::size_t>(value); }
static_assert(index_of(Value::AGL) + 1 == VALUE_COUNT, "one JSON name per value");

// One `T` per value, indexed by `Value` or by position.
template <typename T>
struct PerValue : std::array<T, VALUE_COUNT> {
  using std::array<T, VALUE_COUNT>::operator[];
  T& operator[](Value value) { return (*this)[index_of(value)]; }
  const T& operator[](Value value) const { return (*this)[index_of(value)]; }
};

// What only the EFB feed reads, asked of the simulators with --efb alone;
// kept beside the values, never in the JSON or the track.
enum class EfbValue : std::size_t { PITCH, ROLL, PRESSURE_ALT, ON_GROUND };
constexpr std::size_t EFB_VALUE_COUNT = 4;

// Guarded as a whole by `LiveStateHolder::mutex`.
struct LiveState {
  // lat, lon (degrees), alt (m MSL), hdg (degrees true), gs (m/s), ias (kt),
  // vs (ft/min), agl (m); absent until a feed writes them.
  PerValue<std::optional<double>> values{};
  std::optional<Instant> last_update;
  std::uint64_t t = 0;             // wall clock of the last update, ms since 1970 (never above 64 bits)
  std::uint64_t update_count = 0;  // wraps modulo 2^64
  SimKind sim = SimKind::none;
  // pitch (degrees, nose up positive), roll (degrees, right wing down
  // positive), pressure altitude (ft), on ground (1 or 0); by `EfbValue`.
  std::array<std::optional<double>, EFB_VALUE_COUNT> efb{};
};

constexpr std::size_t index_of(EfbValue value) { return static_cast<std::size_t>(value); }
static_assert(index_of(EfbValue::ON_GROUND) + 1 == EFB_VALUE_COUNT, "one slot per EFB value");

// The shared, reference-counted holder: the record, the track recorded from
// it, the traffic around it, the route the user set, and the one mutex that
// guards them all. Nobody sleeps, prints or does I/O while holding it.
struct LiveStateHolder {
  std::mutex mutex;
  LiveState record;
  Track track;
  Traffic traffic;
  // Null until a route is set and after it is cleared. A checked plan never
  // changes: a new one replaces the pointer, so a reader copies the pointer
  // under the lock and writes its JSON after releasing it.
  std::shared_ptr<const Plan> plan;
};
using SharedState = std::shared_ptr<LiveStateHolder>;

SharedState make_shared_state();

constexpr auto LIVE_WINDOW = std::chrono::seconds(3);

// Whole milliseconds since 1970, truncated; 0 for a clock before 1970.
std::uint64_t wall_clock_millis(WallClock::time_point now);

// Stamps an update (mutex held, after the feed wrote its values).
void mark_updated(LiveState& record, Instant now, WallClock::time_point wall_now);
void mark_updated(LiveState& record);

// Adds the record's position to the track when it has a finite lat and lon;
// each feed calls it with the mutex held, right after mark_updated. A sample
// the live window or more after the previous one begins a new segment.
void record_track_point(LiveStateHolder& holder);

// Live: stamped less than 3 s before `now` (a `now` before the stamp counts
// as no time passed), lat and lon present, and a simulator known.
bool is_live(const LiveState& record, Instant now);

// The user's position in `record`, when it has a finite one: whence the traffic's "nearest".
std::optional<OwnPosition> own_position(const LiveState& record);

// The live snapshot JSON; built with the mutex held. The first form reads the
// monotonic clock itself.
std::string build_live_snapshot(const LiveState& record);
std::string build_live_snapshot(const LiveState& record, Instant now);

// Appends the shortest text that reads back to exactly `value`, in plain
// positional notation (no exponent); `value` must be finite.
void append_number(std::string& out, double value);

}  // namespace tavrik
