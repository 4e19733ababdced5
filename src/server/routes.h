// The server's routes: one row each in the table of routes.cc, holding the
// path, the methods it answers, who may call it and how it is answered.
// Routing, the caller check and the response head read the row alone.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "server/http_request.h"
#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

struct LanAccess;

// Who is at the other end of a connection.
struct Caller {
  std::uint32_t peer = platform::LOOPBACK_IP;  // the address the connection comes from
  std::shared_ptr<const LanAccess> lan;        // with "--lan"; null: loopback only
  std::uint16_t port = 0;                      // the port listened on, of the bridge's own origin
};

// Request methods as a bit set. A method token is compared byte for byte;
// one not named here ("options", "PATCH") is METHOD_OTHER.
using Methods = std::uint32_t;
constexpr Methods METHOD_GET = 1, METHOD_HEAD = 2, METHOD_POST = 4, METHOD_PUT = 8, METHOD_DELETE = 16,
                  METHOD_OPTIONS = 32, METHOD_OTHER = 64;
constexpr Methods ANY_METHOD = 127;
Methods method_bit(std::string_view method);

// Who may call a route, once the key check that holds for every route has
// let the caller in (admitted_route, lan_access.h).
enum class CallerRule {
  keyed,          // anyone on this computer; another machine with the key
  own_page,       // with "--lan" only (else the text notice), and only this computer's own page:
                  // a loopback peer whose Host names this computer
  this_computer,  // only this computer, and no other site's page: a loopback peer whose request carries
                  // no Origin or the bridge's own (may_change_plan); with the key or without, no other machine
};

enum class PathMatch {
  any,           // every path
  exact,         // `path` byte for byte
  builtin_file,  // a built-in file: the page at "/map", the files below "/map/"
};

// What a body or serving function may read.
struct Request {
  const RequestTarget& target;
  const RequestHead& head;
  const SharedState& state;
  const Caller& caller;
  LoopClock& clock;               // the event stream's
  RequestReader* body = nullptr;  // where the head was read from: the body follows it
};

// A route sent in PUT /plan may hold at most this many bytes; a longer one is
// refused by its Content-Length before any of it is read.
constexpr std::uint64_t PLAN_MAX_BODY_BYTES = 256 * 1024;

struct Body {
  std::string text;
  std::string headers;  // header lines made with the text ("Content-Disposition: …\r\n"), after the row's
};

struct RouteRow {
  PathMatch match;
  std::string_view path;
  Methods methods;
  CallerRule caller;
  std::string_view status;        // the status line, line end included
  bool cors;                      // the CORS block after the status line
  std::string_view content_type;  // empty: no Content-Type line
  std::string_view headers;       // fixed header lines after Content-Type
  Body (*body)(const Request&);   // null: an empty body
  // Answers by itself instead, with a head of its own, for as long as it lasts
  // (the event stream, the built-in files).
  void (*serve)(const platform::Socket& stream, const Request& request) = nullptr;
};

// A row of the table as routing picks it, or the refusal of a caller.
struct Route {
  const RouteRow* row = nullptr;
  bool operator==(const Route&) const = default;
  // The rows the program itself names.
  static const Route preflight, builtin_file, text, tablet, forbidden;
  static const Route plan_forbidden;  // a change of the plan refused by its caller rule
};

// Every row, in the order a request meets them: OPTIONS on any path first
// (the preflight), then the paths, then the text notice for everything else.
std::span<const RouteRow> route_table();

// The first row whose methods hold the request's and whose path matches.
Route route_for(const RequestTarget& target);

// The status line and headers of `row` answered with `body`, blank line
// included; body.text follows it.
std::string response_head(const RouteRow& row, const Body& body);

}  // namespace tavrik
