#include "server/http_connection.h"

#include <memory>

#include "server/event_stream.h"

namespace tavrik {
namespace {

// Request bytes from the read handle. Before each receive the time-out is
// lowered to what is left of the head's time budget, so trickled bytes cannot
// stretch the head beyond it.
class SocketSource : public ByteSource {
 public:
  SocketSource(const platform::Socket& socket, const ConnectionLimits& limits)
      : socket_(socket), per_read_(limits.read_timeout), deadline_(MonotonicClock::now() + limits.head_budget) {}

  SourceRead read_some(char* buffer, std::size_t size) override {
    auto timeout = next_receive_timeout(MonotonicClock::now(), deadline_, per_read_);
    if (!timeout) return {0, true};
    platform::set_receive_timeout(socket_, static_cast<int>(timeout->count()));
    platform::IoResult got = platform::receive(socket_, buffer, size);
    return {got.bytes, got.failed()};
  }

 private:
  const platform::Socket& socket_;
  std::chrono::milliseconds per_read_;
  Instant deadline_;
};

std::string snapshot_of(LiveStateHolder& holder) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  return build_live_snapshot(holder.record);
}

// The pieces in order, gathered into one send call: a response costs one
// system call and goes out in one segment. A failed send ends the response.
void write_pieces(const platform::Socket& stream, const std::vector<std::string>& pieces) {
  std::vector<std::string_view> views(pieces.begin(), pieces.end());
  platform::send_all(stream, views);
}

// The JSON a route answers with; empty for the others.
std::string json_body(Route route, LiveStateHolder& holder, const Caller& caller) {
  if (route == Route::snapshot) return snapshot_of(holder);
  if (route == Route::tablet) return tablet_json(tablet_urls(platform::interface_addresses(), *caller.lan));
  return {};
}

void respond(const platform::Socket& stream, const SharedState& holder, const std::string& request_line,
             LoopClock& stream_clock, const Caller& caller) {
  RequestTarget target = parse_request_line(request_line);
  Route route = admitted_route(route_for(target), target, caller.peer, {}, caller.lan.get());
  if (route == Route::event_stream) return serve_event_stream(stream, holder, stream_clock);
  write_pieces(stream, response_pieces(route, json_body(route, *holder, caller)));
}

}  // namespace

void handle_connection(platform::Socket stream, SharedState holder, const ConnectionLimits& limits,
                       const Caller& caller) {
  // Failures to set time-outs are ignored: the connection is still served.
  platform::set_receive_timeout(stream, static_cast<int>(limits.read_timeout.count()));
  platform::set_send_timeout(stream, static_cast<int>(limits.send_timeout.count()));
  int error = 0;
  platform::Socket read_handle = platform::duplicate_socket(stream, &error);
  if (read_handle.valid()) {
    std::optional<std::string> request_line;
    {
      SocketSource source(read_handle, limits);
      auto reader = std::make_unique<RequestReader>(source);  // its buffer stays off the small thread stack
      request_line = read_request_head(*reader);
    }
    if (request_line) respond(stream, holder, *request_line, *limits.stream_clock, caller);
  }
  // Closed right after the last write, with nothing more read.
  read_handle.close();
  holder.reset();
  stream.close();
}

}  // namespace tavrik
