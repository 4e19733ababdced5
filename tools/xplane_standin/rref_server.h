// X-Plane's side of the "RREF" dataref protocol, as the stand-in plays it:
// requests in, subscriptions kept per sender, replies out on schedule. Pure
// functions of their inputs and the time passed in; sockets live elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "flight_model.h"
#include "platform/platform.h"
#include "traffic_model.h"

namespace tavrik {

using StandinClock = std::chrono::steady_clock;
using StandinInstant = StandinClock::time_point;

constexpr std::uint16_t STANDIN_DEFAULT_PORT = 49000;
constexpr std::int32_t MAX_FREQUENCY = 100;         // replies per second at most
constexpr std::size_t MAX_SUBSCRIBERS = 16;         // senders beyond are ignored
constexpr std::size_t MAX_SUBSCRIPTIONS = 1024;     // per sender: the bridge asks for 388
constexpr std::size_t MAX_RECORDS_PER_REPLY = 128;  // keeps a reply near 1 KiB

// "RREF", one byte, frequency, index (little-endian signed 32-bit), path up to
// the first zero byte of the remaining (at most 400) bytes.
struct RrefRequest {
  std::int32_t frequency = 0;
  std::int32_t index = 0;
  std::string path;
};
std::optional<RrefRequest> parse_rref_request(const std::uint8_t* data, std::size_t size);

struct Subscription {
  std::int32_t frequency;
  std::string path;
};

// Everything one sender asked for, and when each frequency group is due.
struct Subscriber {
  platform::Ipv4Address address;
  std::map<std::int32_t, Subscription> by_index;
  std::map<std::int32_t, StandinInstant> next_due;  // by frequency
};

struct Subscriptions {
  std::vector<Subscriber> subscribers;
};

enum class RequestOutcome { subscribed, unchanged, cancelled, ignored };

// Frequency 0 cancels the index; a known index is replaced; a new frequency
// group is due at once. Negative frequencies, senders or subscriptions beyond
// the limits are ignored. Frequencies above MAX_FREQUENCY are capped.
RequestOutcome apply_request(Subscriptions& subscriptions, platform::Ipv4Address from, const RrefRequest& request,
                             StandinInstant now);

// Where the stand-in's local frame is anchored, as X-Plane anchors its own
// near the scenery loaded: west of the field, so that the frame's north and
// true north differ over the whole circuit, as they do in X-Plane away from
// its reference point.
constexpr double STANDIN_REFERENCE_LONGITUDE = 6.5;  // degrees

// The heading in the stand-in's local frame (X-Plane's "psi"): the true
// heading turned by the convergence of the meridians between the aircraft
// and the reference point, 0 to 360 degrees.
double local_psi(const AircraftState& aircraft);

// The value X-Plane would give for `path`; nothing for a dataref the stand-in
// does not fly, which then gets no record at all (an absent value is honest,
// a made-up 0 is not).
std::optional<float> dataref_value(const AircraftState& aircraft, const std::string& path);

// "RREF" + ',' + (index u32, value float32) records, little-endian.
std::string build_rref_reply(const std::vector<std::pair<std::int32_t, float>>& records);

struct OutgoingReply {
  platform::Ipv4Address to;
  std::string bytes;
};

// Replies of every frequency group due at `now`, and their next times. A group
// that fell more than one period behind (after a pause) starts afresh.
// With `traffic`, the TCAS target datarefs are answered for it too.
std::vector<OutgoingReply> due_replies(Subscriptions& subscriptions, const AircraftState& aircraft, StandinInstant now,
                                       const std::vector<TcasTarget>* traffic = nullptr);

// The earliest time a group is due; `latest` when none is earlier.
StandinInstant next_reply_time(const Subscriptions& subscriptions, StandinInstant latest);

// Flight time that stands still while paused.
struct FlightClock {
  double flown = 0;                             // seconds before the current run
  std::optional<StandinInstant> running_since;  // absent: paused
};
double flight_seconds(const FlightClock& clock, StandinInstant now);
void pause_clock(FlightClock& clock, StandinInstant now);
void resume_clock(FlightClock& clock, StandinInstant now);

// The command line: "xplane-standin [address] [--port 49000] [--pause-after S [--resume-after S]]".
struct StandinOptions {
  bool help = false;
  std::string address = "127.0.0.1";
  std::uint16_t port = STANDIN_DEFAULT_PORT;
  std::optional<double> pause_after;   // seconds after start
  std::optional<double> resume_after;  // seconds after that pause
};
constexpr const char* STANDIN_USAGE =
    "usage: xplane-standin [address] [--port 49000] [--pause-after S [--resume-after S]]\n";
// Nothing (and `error` set) for an option it does not know or a bad value.
std::optional<StandinOptions> parse_standin_options(const std::vector<std::string>& args, std::string* error);

// Whether the script of --pause-after / --resume-after wants a pause at `elapsed` seconds.
bool scheduled_pause(const StandinOptions& options, double elapsed);

}  // namespace tavrik
