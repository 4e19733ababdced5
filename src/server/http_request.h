// Reading and routing one HTTP request, as pure code over bytes: the server
// feeds it from a socket, tests and fuzzers from a string.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

constexpr std::size_t REQUEST_BUFFER_SIZE = 8192;
// Bounds that keep one client from growing our memory without end: a line
// (its line feed included) may hold at most this many bytes, and at most this
// many header lines are read.
constexpr std::size_t MAX_LINE_BYTES = 8192;
constexpr std::size_t MAX_HEADER_LINES = 100;

// Outcome of one read from a byte source. `bytes` 0 without failure: end of
// data (an orderly close or a shutdown).
struct SourceRead {
  std::size_t bytes = 0;
  bool failed = false;  // time-out, receive error, or the time budget spent
};

// Where request bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Blocks for at most one receive of up to `size` bytes into `buffer`.
  virtual SourceRead read_some(char* buffer, std::size_t size) = 0;
};

// Outcome of one line read. A line that met end of data before any byte is
// empty and not failed.
struct LineRead {
  std::string text;  // the bytes of the line, line feed included when present
  bool failed = false;
};

// A buffered line reader over a byte source; each refill is one read of at
// most REQUEST_BUFFER_SIZE bytes.
class RequestReader {
 public:
  explicit RequestReader(ByteSource& source) : source_(source) {}

  // Reads up to and including the next line feed, or to end of data. Fails on
  // a failed read, on bytes that are not valid UTF-8, or on a line longer
  // than MAX_LINE_BYTES; the bytes of a failed line are discarded.
  LineRead read_line();

  // The next `count` bytes as they are (a request's body), those already
  // buffered first; nothing on a failed read or end of data before them.
  std::optional<std::string> read_bytes(std::size_t count);

 private:
  ByteSource& source_;
  char buffer_[REQUEST_BUFFER_SIZE];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// A header value kept (several lines of one name joined by ", ") may hold at
// most this many bytes; what would go beyond is left out.
constexpr std::size_t MAX_KEPT_HEADER_BYTES = 1024;

// The request line and the few header values the server looks at; every
// other header is discarded. A value is empty when its header was absent.
struct RequestHead {
  std::string line;  // as read, line end included
  std::string host;
  std::string if_none_match;
  std::string accept_encoding;
  std::string origin;          // the page that sent a request, as its browser names it
  std::string content_length;  // the size of a request's body
  bool operator==(const RequestHead&) const = default;
};

// Keeps the value of `header_line` ("Name: value", its line end included or
// not) in `head` when the name, in any case, is one kept; leading and
// trailing spaces and tabs are not part of the value. Other lines are ignored.
void keep_header(RequestHead& head, std::string_view header_line);

// Reads the request line and then header lines until a blank line, end of
// data, a failed read or MAX_HEADER_LINES lines, keeping what keep_header
// keeps. Nothing when the request line itself could not be read: the
// connection gets no answer.
std::optional<RequestHead> read_request_head(RequestReader& reader);

// True for well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// True for a code point with the Unicode White_Space property.
bool is_unicode_white_space(char32_t code_point);

// The tokens of valid UTF-8 `line` split at runs of Unicode white space.
std::vector<std::string_view> split_tokens(std::string_view line);

struct RequestTarget {
  std::string_view method;  // empty for an empty request line
  std::string_view path;    // the target before its first "?"; "/" when missing
  std::string_view query;   // the target after its first "?"; empty when none
};

// Method and path of a request line (valid UTF-8).
RequestTarget parse_request_line(std::string_view line);

// The value of the first parameter `name` in `query` ("a=1&key=x"); nothing
// when it is not there. No percent-decoding.
std::optional<std::string_view> query_parameter(std::string_view query, std::string_view name);

// T of the first "since=T" in `query` ("a=1&since=T&..."), when T is a plain
// decimal integer (digits only; beyond 2^64-1 it counts as 2^64-1).
std::optional<std::uint64_t> since_of(std::string_view query);

// N of a Content-Length value that is a plain decimal integer (digits only;
// beyond 2^64-1 it counts as 2^64-1); nothing for anything else, a list of
// several values included.
std::optional<std::uint64_t> content_length_of(std::string_view value);

// Whether an Accept-Encoding value allows gzip: "gzip" (or "*" when gzip is
// not named) with a q above 0. Names are compared in any case.
bool accepts_gzip(std::string_view accept_encoding);

// Whether an If-None-Match value names `etag` (quotes included; weak "W/"
// forms too) or is "*".
bool etag_matches(std::string_view if_none_match, std::string_view etag);

// The receive time-out for the next read: the time left until `deadline`,
// at most `per_read`, at least 1 ms. Nothing once the deadline has passed.
std::optional<std::chrono::milliseconds> next_receive_timeout(std::chrono::steady_clock::time_point now,
                                                              std::chrono::steady_clock::time_point deadline,
                                                              std::chrono::milliseconds per_read);

}  // namespace tavrik
