#include "rref_server.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/byte_order.h"

namespace tavrik {

namespace {

constexpr std::size_t REQUEST_HEAD = 13;  // "RREF", one byte, frequency, index
constexpr std::size_t PATH_SIZE = 400;

Subscriber* find_subscriber(Subscriptions& subscriptions, platform::Ipv4Address from) {
  for (Subscriber& s : subscriptions.subscribers)
    if (s.address == from) return &s;
  return nullptr;
}

// Drops schedule entries of frequencies nobody asks for any more, and
// subscribers with nothing left.
void tidy(Subscriptions& subscriptions) {
  for (Subscriber& s : subscriptions.subscribers)
    std::erase_if(s.next_due, [&](const auto& due) {
      return std::none_of(s.by_index.begin(), s.by_index.end(),
                          [&](const auto& entry) { return entry.second.frequency == due.first; });
    });
  std::erase_if(subscriptions.subscribers, [](const Subscriber& s) { return s.by_index.empty(); });
}

RequestOutcome cancel(Subscriptions& subscriptions, platform::Ipv4Address from, std::int32_t index) {
  Subscriber* s = find_subscriber(subscriptions, from);
  if (!s || s->by_index.erase(index) == 0) return RequestOutcome::unchanged;
  tidy(subscriptions);
  return RequestOutcome::cancelled;
}

std::chrono::nanoseconds period(std::int32_t frequency) { return std::chrono::nanoseconds(1'000'000'000 / frequency); }

void append_group_replies(const Subscriber& s, std::int32_t frequency, const AircraftState& aircraft,
                          const std::vector<TcasTarget>* traffic, std::vector<OutgoingReply>& out) {
  std::vector<std::pair<std::int32_t, float>> records;
  for (const auto& [index, sub] : s.by_index) {
    if (sub.frequency != frequency) continue;
    std::optional<float> value = dataref_value(aircraft, sub.path);
    if (!value && traffic) value = tcas_value(*traffic, sub.path);
    if (!value) continue;
    records.emplace_back(index, *value);
    if (records.size() == MAX_RECORDS_PER_REPLY) {
      out.push_back({s.address, build_rref_reply(records)});
      records.clear();
    }
  }
  if (!records.empty()) out.push_back({s.address, build_rref_reply(records)});
}

bool parse_seconds(const std::string& text, double* seconds) {
  try {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    if (used != text.size() || !std::isfinite(value) || value < 0) return false;
    *seconds = value;
    return true;
  } catch (...) {
    return false;
  }
}

bool parse_port_number(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  unsigned long value = std::stoul(text);
  if (value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::optional<RrefRequest> parse_rref_request(const std::uint8_t* data, std::size_t size) {
  if (size < REQUEST_HEAD || std::memcmp(data, "RREF", 4) != 0) return std::nullopt;
  RrefRequest request;
  request.frequency = static_cast<std::int32_t>(platform::read_u32_le(data + 5));
  request.index = static_cast<std::int32_t>(platform::read_u32_le(data + 9));
  const char* path = reinterpret_cast<const char*>(data + REQUEST_HEAD);
  std::size_t room = std::min(size - REQUEST_HEAD, PATH_SIZE);
  request.path.assign(path, strnlen(path, room));
  return request;
}

RequestOutcome apply_request(Subscriptions& subscriptions, platform::Ipv4Address from, const RrefRequest& request,
                             StandinInstant now) {
  if (request.frequency < 0) return RequestOutcome::ignored;
  if (request.frequency == 0) return cancel(subscriptions, from, request.index);
  Subscription wanted{std::min(request.frequency, MAX_FREQUENCY), request.path};
  Subscriber* s = find_subscriber(subscriptions, from);
  if (!s) {
    if (subscriptions.subscribers.size() >= MAX_SUBSCRIBERS) return RequestOutcome::ignored;
    s = &subscriptions.subscribers.emplace_back(Subscriber{from, {}, {}});
  }
  auto known = s->by_index.find(request.index);
  if (known != s->by_index.end() && known->second.frequency == wanted.frequency && known->second.path == wanted.path)
    return RequestOutcome::unchanged;
  if (known == s->by_index.end() && s->by_index.size() >= MAX_SUBSCRIPTIONS) return RequestOutcome::ignored;
  s->by_index[request.index] = wanted;
  s->next_due.try_emplace(wanted.frequency, now);
  tidy(subscriptions);
  return RequestOutcome::subscribed;
}

double local_psi(const AircraftState& a) {
  constexpr double DEGREES = 3.14159265358979323846 / 180.0;
  double convergence = (a.longitude - STANDIN_REFERENCE_LONGITUDE) * std::sin(a.latitude * DEGREES);
  return std::fmod(std::fmod(a.true_psi + convergence, 360.0) + 360.0, 360.0);
}

std::optional<float> dataref_value(const AircraftState& a, const std::string& path) {
  const std::pair<const char*, double> known[] = {
      {"sim/flightmodel/position/latitude", a.latitude},
      {"sim/flightmodel/position/longitude", a.longitude},
      {"sim/flightmodel/position/elevation", a.elevation},
      {"sim/flightmodel/position/psi", local_psi(a)},
      {"sim/flightmodel/position/true_psi", a.true_psi},
      {"sim/flightmodel/position/groundspeed", a.groundspeed},
      {"sim/flightmodel/position/indicated_airspeed", a.indicated_airspeed},
      {"sim/flightmodel/position/vh_ind_fpm", a.vh_ind_fpm},
      {"sim/flightmodel/position/y_agl", a.y_agl},
      {"sim/flightmodel/position/theta", a.theta},
      {"sim/flightmodel/position/phi", a.phi},
      {"sim/flightmodel2/position/pressure_altitude", a.pressure_altitude},
      {"sim/flightmodel/failures/onground_any", a.on_ground ? 1.0 : 0.0},
  };
  for (const auto& [name, value] : known)
    if (path == name) return static_cast<float>(value);
  return std::nullopt;
}

std::string build_rref_reply(const std::vector<std::pair<std::int32_t, float>>& records) {
  std::string out("RREF,", 5);
  for (const auto& [index, value] : records) {
    platform::append_u32_le(out, static_cast<std::uint32_t>(index));
    platform::append_u32_le(out, std::bit_cast<std::uint32_t>(value));
  }
  return out;
}

std::vector<OutgoingReply> due_replies(Subscriptions& subscriptions, const AircraftState& aircraft, StandinInstant now,
                                       const std::vector<TcasTarget>* traffic) {
  std::vector<OutgoingReply> out;
  for (Subscriber& s : subscriptions.subscribers) {
    for (auto& [frequency, due] : s.next_due) {
      if (due > now) continue;
      append_group_replies(s, frequency, aircraft, traffic, out);
      due += period(frequency);
      if (due <= now) due = now + period(frequency);  // fell behind: no burst to catch up
    }
  }
  return out;
}

StandinInstant next_reply_time(const Subscriptions& subscriptions, StandinInstant latest) {
  StandinInstant next = latest;
  for (const Subscriber& s : subscriptions.subscribers)
    for (const auto& [frequency, due] : s.next_due) next = std::min(next, due);
  return next;
}

double flight_seconds(const FlightClock& clock, StandinInstant now) {
  if (!clock.running_since) return clock.flown;
  return clock.flown + std::chrono::duration<double>(now - *clock.running_since).count();
}

void pause_clock(FlightClock& clock, StandinInstant now) {
  clock.flown = flight_seconds(clock, now);
  clock.running_since.reset();
}

void resume_clock(FlightClock& clock, StandinInstant now) {
  if (!clock.running_since) clock.running_since = now;
}

std::optional<StandinOptions> parse_standin_options(const std::vector<std::string>& args, std::string* error) {
  StandinOptions options;
  bool address_seen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool has_value = i + 1 < args.size();
    double seconds = 0;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--port" && has_value && parse_port_number(args[i + 1], &options.port)) {
      ++i;
    } else if (arg == "--pause-after" && has_value && parse_seconds(args[i + 1], &seconds)) {
      options.pause_after = seconds;
      ++i;
    } else if (arg == "--resume-after" && has_value && parse_seconds(args[i + 1], &seconds)) {
      options.resume_after = seconds;
      ++i;
    } else if (!address_seen && !arg.starts_with("-") && platform::parse_ipv4(arg, 0)) {
      options.address = arg;
      address_seen = true;
    } else {
      *error = "bad argument '" + arg + "'";
      return std::nullopt;
    }
  }
  if (options.resume_after && !options.pause_after) {
    *error = "--resume-after needs --pause-after";
    return std::nullopt;
  }
  return options;
}

bool scheduled_pause(const StandinOptions& options, double elapsed) {
  if (!options.pause_after || elapsed < *options.pause_after) return false;
  return !options.resume_after || elapsed < *options.pause_after + *options.resume_after;
}

}  // namespace tavrik
