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

// Pointers to the sealed chunks and a copy of the open one: the lock is held
// briefly, and the text is made after it is released.
TrackCopy track_of(LiveStateHolder& holder) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  return copy_track(holder.track);
}

// The traffic not gone, copied under one short hold.
std::vector<TrafficAircraft> traffic_of(LiveStateHolder& holder) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  return copy_traffic(holder.traffic, MonotonicClock::now());
}

// The pieces in order, gathered into one send call: a response costs one
// system call and goes out in one segment. A failed send ends the response.
void write_pieces(const platform::Socket& stream, const std::vector<std::string>& pieces) {
  std::vector<std::string_view> views(pieces.begin(), pieces.end());
  platform::send_all(stream, views);
}

void send_builtin_file(const platform::Socket& stream, const BuiltinFile& file, const RequestHead& head) {
  FileForm form = file_form(file, head);
  std::string response_head = file_response_head(file, form);
  platform::send_all(stream, std::vector<std::string_view>{response_head, file_body(file, form)});
}

void respond(const platform::Socket& stream, const SharedState& holder, const RequestHead& head,
             LoopClock& stream_clock, const Caller& caller) {
  RequestTarget target = parse_request_line(head.line);
  Route route = admitted_route(route_for(target), target, caller.peer, head.host, caller.lan.get());
  std::string body, file_name;
  switch (route) {
    case Route::event_stream:
      return serve_event_stream(stream, holder, stream_clock);
    case Route::builtin_file:
      return send_builtin_file(stream, *find_builtin_file(target.path), head);
    case Route::snapshot:
      body = snapshot_of(*holder);
      break;
    case Route::track:
      body = track_json(track_of(*holder), since_of(target.query));
      break;
    case Route::traffic:
      body = traffic_json(traffic_of(*holder));
      break;
    case Route::track_gpx: {
      TrackCopy track = track_of(*holder);
      body = track_gpx(track);
      file_name = track_file_name(track);
      break;
    }
    case Route::tablet:
      body = tablet_json(tablet_urls(platform::interface_addresses(), *caller.lan));
      break;
    case Route::preflight:
    case Route::forbidden:
    case Route::text:
      break;
  }
  write_pieces(stream, response_pieces(route, std::move(body), file_name));
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
    std::optional<RequestHead> head;
    {
      SocketSource source(read_handle, limits);
      auto reader = std::make_unique<RequestReader>(source);  // its buffer stays off the small thread stack
      head = read_request_head(*reader);
    }
    if (head) respond(stream, holder, *head, *limits.stream_clock, caller);
  }
  // Closed right after the last write, with nothing more read.
  read_handle.close();
  holder.reset();
  stream.close();
}

}  // namespace tavrik
