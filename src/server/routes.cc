// The table of routes: a route is one row here and, for its answer, one body
// function above it. Every head is written by response_head from the row.
#include "server/routes.h"

#include <mutex>
#include <utility>
#include <vector>

#include "server/builtin_files.h"
#include "server/event_stream.h"
#include "server/http_response.h"
#include "server/lan_access.h"
#include "server/plan_reader.h"
#include "state/plan.h"
#include "state/track.h"
#include "state/traffic.h"

namespace tavrik {
namespace {

constexpr std::string_view OK = STATUS_LINE_OK;
constexpr std::string_view JSON = "application/json";
constexpr std::string_view TEXT = "text/plain; charset=utf-8";

// One short hold of the lock; the text is made after it when it can be.
TrackCopy track_of(const Request& request) {
  std::lock_guard<std::mutex> lock(request.state->mutex);
  return copy_track(request.state->track);
}

Body snapshot(const Request& request) {
  std::lock_guard<std::mutex> lock(request.state->mutex);
  return {build_live_snapshot(request.state->record), {}};
}

Body track(const Request& request) { return {track_json(track_of(request), since_of(request.target.query)), {}}; }

// The track as the map draws its history: /track's form, thinned.
Body thin_track(const Request& request) {
  return {thin_track_json(track_of(request), since_of(request.target.query), DRAWING_TOLERANCE_M), {}};
}

// The whole track as a file to download, named after its first point.
Body track_file(const Request& request, std::string (*write)(const TrackCopy&), std::string_view extension) {
  TrackCopy copy = track_of(request);
  return {write(copy), "Content-Disposition: attachment; filename=\"" + track_file_name(copy, extension) + "\"\r\n"};
}

// The aircraft not gone, copied under one short hold; their text after it.
Body traffic(const Request& request) {
  std::vector<TrafficAircraft> aircraft;
  {
    std::lock_guard<std::mutex> lock(request.state->mutex);
    aircraft = copy_traffic(request.state->traffic, MonotonicClock::now());
  }
  return {traffic_json(aircraft), {}};
}

Body tablet(const Request& request) {
  return {tablet_json(tablet_urls(platform::interface_addresses(), *request.caller.lan)), {}};
}

// The plan: the pointer is copied under the lock, its JSON written after.
std::shared_ptr<const Plan> plan_of(const Request& request) {
  std::lock_guard<std::mutex> lock(request.state->mutex);
  return request.state->plan;
}

void set_plan(const Request& request, std::shared_ptr<const Plan> plan) {
  std::lock_guard<std::mutex> lock(request.state->mutex);
  request.state->plan = std::move(plan);
}

Body plan(const Request& request) {
  std::shared_ptr<const Plan> kept = plan_of(request);
  return {plan_json(kept ? *kept : Plan{}), {}};
}

Body clear_plan(const Request& request) {
  set_plan(request, nullptr);
  return {plan_json(Plan{}), {}};
}

// What a PUT /plan gets: the plan read from its body, or the status and
// reason of its refusal.
struct PlanPut {
  std::optional<Plan> plan;
  std::string_view status;
  std::string reason;
};

// The size is checked from Content-Length before a byte of the body is read.
PlanPut read_plan_put(const Request& request) {
  constexpr std::string_view BAD = "HTTP/1.1 400 Bad Request\r\n";
  if (request.head.content_length.empty())
    return {{}, "HTTP/1.1 411 Length Required\r\n", "Length Required: send the route with its Content-Length.\n"};
  std::optional<std::uint64_t> length = content_length_of(request.head.content_length);
  if (!length) return {{}, BAD, "Bad Request: the Content-Length is not one decimal number.\n"};
  if (*length > PLAN_MAX_BODY_BYTES)
    return {{},
            "HTTP/1.1 413 Content Too Large\r\n",
            "Content Too Large: a route may hold at most " + std::to_string(PLAN_MAX_BODY_BYTES) + " bytes.\n"};
  std::optional<std::string> body = request.body ? request.body->read_bytes(*length) : std::nullopt;
  if (!body) return {{}, BAD, "Bad Request: the body ended before its Content-Length.\n"};
  PlanRead read = read_plan(*body);
  if (!read.plan) return {{}, BAD, "Bad Request: " + read.error + "\n"};
  return {std::move(read.plan), OK, {}};
}

// A route set answers as GET /plan would; a refusal changes nothing.
void serve_put_plan(const platform::Socket& stream, const Request& request) {
  PlanPut put = read_plan_put(request);
  RouteRow row = {PathMatch::exact, "/plan", METHOD_PUT, CallerRule::this_computer, put.status, false, TEXT, "",
                  nullptr};
  Body body{std::move(put.reason), {}};
  if (put.plan) {
    auto kept = std::make_shared<const Plan>(std::move(*put.plan));
    set_plan(request, kept);
    row.content_type = JSON;
    body.text = plan_json(*kept);
  }
  std::string head = response_head(row, body);
  platform::send_all(stream, std::vector<std::string_view>{head, body.text});
}

Body running_text(const Request&) { return {std::string(RUNNING_TEXT), {}}; }
Body forbidden_text(const Request&) { return {std::string(FORBIDDEN_TEXT), {}}; }
Body plan_forbidden_text(const Request&) {
  return {"Forbidden: the route is set on this computer alone, by the bridge's own map page or a program.\n", {}};
}

void serve_stream(const platform::Socket& stream, const Request& request) {
  serve_event_stream(stream, request.state, request.clock);
}

void serve_file(const platform::Socket& stream, const Request& request) {
  const BuiltinFile& file = *find_builtin_file(request.target.path);
  FileForm form = file_form(file, request.head);
  std::string head = file_response_head(file, form);
  platform::send_all(stream, std::vector<std::string_view>{head, file_body(file, form)});
}

using enum PathMatch;
using enum CallerRule;

constexpr RouteRow ROUTES[] = {
    // match, path, methods, caller, status, cors, content type, headers, body (, serve)
    {any, "", METHOD_OPTIONS, keyed, "HTTP/1.1 204 No Content\r\n", true, "", "", nullptr},
    {exact, "/state", ANY_METHOD, keyed, OK, true, JSON, "", snapshot},
    {exact, "/stream", ANY_METHOD, keyed, OK, true, "", "", nullptr, serve_stream},
    {exact, "/track", ANY_METHOD, keyed, OK, true, JSON, "", track},
    {exact, "/track/thin", ANY_METHOD, keyed, OK, true, JSON, "", thin_track},
    {exact, "/track.gpx", ANY_METHOD, keyed, OK, true, "application/gpx+xml", "",
     [](const Request& r) { return track_file(r, track_gpx, "gpx"); }},
    {exact, "/track.kml", ANY_METHOD, keyed, OK, true, "application/vnd.google-earth.kml+xml", "",
     [](const Request& r) { return track_file(r, track_kml, "kml"); }},
    {exact, "/traffic", ANY_METHOD, keyed, OK, true, JSON, "", traffic},
    // The route every screen shows; only this computer sets it, and no other
    // site's page (no CORS block on the changes: no other page may send them).
    {exact, "/plan", METHOD_GET, keyed, OK, true, JSON, "", plan},
    {exact, "/plan", METHOD_PUT, this_computer, OK, false, JSON, "", nullptr, serve_put_plan},
    {exact, "/plan", METHOD_DELETE, this_computer, OK, false, JSON, "", clear_plan},
    // The key in it is for this computer's own page alone: no CORS block, no cache.
    {exact, "/tablet", ANY_METHOD, own_page, OK, false, JSON, "Cache-Control: no-store\r\n", tablet},
    {builtin_file, "/map", ANY_METHOD, keyed, OK, true, "", "", nullptr, serve_file},
    {any, "", ANY_METHOD, keyed, OK, true, TEXT, "", running_text},
};

// The answer to a caller refused by its rule; no path leads to it.
constexpr RouteRow REFUSED = {any, "", ANY_METHOD, keyed, "HTTP/1.1 403 Forbidden\r\n", true, TEXT, "", forbidden_text};

constexpr RouteRow PLAN_REFUSED = {any,  "", ANY_METHOD,         keyed, "HTTP/1.1 403 Forbidden\r\n", false,
                                   TEXT, "", plan_forbidden_text};

constexpr const RouteRow* row_of(PathMatch match, std::string_view path, Methods methods) {
  for (const RouteRow& row : ROUTES)
    if (row.match == match && row.path == path && row.methods == methods) return &row;
  return nullptr;
}

bool matches(const RouteRow& row, const RequestTarget& target) {
  if (!(row.methods & method_bit(target.method))) return false;
  switch (row.match) {
    case any:
      return true;
    case exact:
      return target.path == row.path;
    case builtin_file:
      return find_builtin_file(target.path) != nullptr;
  }
  return false;
}

}  // namespace

constexpr Route Route::preflight{row_of(any, "", METHOD_OPTIONS)};
constexpr Route Route::builtin_file{row_of(PathMatch::builtin_file, "/map", ANY_METHOD)};
constexpr Route Route::text{row_of(any, "", ANY_METHOD)};
constexpr Route Route::tablet{row_of(exact, "/tablet", ANY_METHOD)};
constexpr Route Route::forbidden{&REFUSED};
constexpr Route Route::plan_forbidden{&PLAN_REFUSED};

Methods method_bit(std::string_view method) {
  constexpr std::pair<std::string_view, Methods> NAMES[] = {{"GET", METHOD_GET},       {"HEAD", METHOD_HEAD},
                                                            {"POST", METHOD_POST},     {"PUT", METHOD_PUT},
                                                            {"DELETE", METHOD_DELETE}, {"OPTIONS", METHOD_OPTIONS}};
  for (const auto& [name, bit] : NAMES)
    if (method == name) return bit;
  return METHOD_OTHER;
}

std::span<const RouteRow> route_table() { return ROUTES; }

Route route_for(const RequestTarget& target) {
  for (const RouteRow& row : ROUTES)
    if (matches(row, target)) return {&row};
  return Route::text;  // not reached: the last row takes every request
}

std::string response_head(const RouteRow& row, const Body& body) {
  std::string head(row.status);
  if (row.cors) head += CORS_HEADERS;
  if (!row.content_type.empty()) {
    head += "Content-Type: ";
    head += row.content_type;
    head += "\r\n";
  }
  head += row.headers;
  head += body.headers;
  head += "Content-Length: " + std::to_string(body.text.size()) + "\r\n\r\n";
  return head;
}

}  // namespace tavrik
