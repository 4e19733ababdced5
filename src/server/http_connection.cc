#include "server/http_connection.h"

#include <memory>

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

// One row's answer (routes.h): its own serving, or its head and body gathered
// into one send call, so a response costs one system call and goes out in one
// segment. A failed send ends the response.
void respond(const platform::Socket& stream, const SharedState& holder, const RequestHead& head,
             LoopClock& stream_clock, const Caller& caller, RequestReader& reader) {
  RequestTarget target = parse_request_line(head.line);
  const RouteRow& row =
      *admitted_route(route_for(target), target, caller.peer, head.host, caller.lan.get(), head.origin, caller.port)
           .row;
  Request request{target, head, holder, caller, stream_clock, &reader};
  if (row.serve) return row.serve(stream, request);
  Body body = row.body ? row.body(request) : Body{};
  std::string response_head_text = response_head(row, body);
  platform::send_all(stream, std::vector<std::string_view>{response_head_text, body.text});
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
    // The reader stays for the answer: a request's body (PUT /plan) follows
    // the head, within the same time budget.
    SocketSource source(read_handle, limits);
    auto reader = std::make_unique<RequestReader>(source);  // its buffer stays off the small thread stack
    std::optional<RequestHead> head = read_request_head(*reader);
    if (head) respond(stream, holder, *head, *limits.stream_clock, caller, *reader);
  }
  // Closed right after the last write, with nothing more read.
  read_handle.close();
  holder.reset();
  stream.close();
}

}  // namespace tavrik
