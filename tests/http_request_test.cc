// The request reader, tokeniser and router, fed from strings.
#include "server/http_request.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "server/routes.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;

// Hands out `text` in reads of at most `chunk` bytes, then end of data (or a
// failure, like a receive that timed out).
class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string text, std::size_t chunk = 8192, bool fail_at_end = false)
      : text_(std::move(text)), chunk_(chunk), fail_at_end_(fail_at_end) {}

  SourceRead read_some(char* buffer, std::size_t size) override {
    ++reads;
    std::size_t n = std::min({size, chunk_, text_.size() - at_});
    if (n == 0) return {0, fail_at_end_};
    text_.copy(buffer, n, at_);
    at_ += n;
    return {n, false};
  }
  std::size_t consumed() const { return at_; }
  int reads = 0;

 private:
  std::string text_;
  std::size_t at_ = 0;
  std::size_t chunk_;
  bool fail_at_end_;
};

std::optional<std::string> head_of(std::string text, std::size_t chunk = 8192, bool fail_at_end = false) {
  StringSource source(std::move(text), chunk, fail_at_end);
  RequestReader reader(source);
  std::optional<RequestHead> head = read_request_head(reader);
  if (!head) return std::nullopt;
  return head->line;
}

TEST(HttpRequestTest, ReadsLinesAcrossRefillsWithTheirLineFeeds) {
  for (std::size_t chunk : {1, 2, 3, 7, 8192}) {
    StringSource source("GET / HTTP/1.1\r\nA: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xA1\nlast", chunk);
    RequestReader reader(source);
    EXPECT_EQ(reader.read_line().text, "GET / HTTP/1.1\r\n") << chunk;
    EXPECT_EQ(reader.read_line().text, "A: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xA1\n")
        << chunk;  // split characters join up
    EXPECT_EQ(reader.read_line().text, "last") << chunk;
    LineRead end = reader.read_line();
    EXPECT_EQ(end.text, "");
    EXPECT_FALSE(end.failed);
  }
}

TEST(HttpRequestTest, FailedLines) {
  struct Case {
    std::string text;
    bool fail_at_end;
  } cases[] = {
      {"", true},          // time-out before any byte
      {"GET /sta", true},  // time-out inside the line
      {"GET /\xFF HTTP/1.1\r\n", false},
      {"GET /\xC3", false},           // cut inside a character
      {"\xC0\xAF\n", false},          // overlong "/"
      {"\xE0\x80\xAF\n", false},      // overlong "/"
      {"\xED\xA0\x80\n", false},      // surrogate
      {"\xF4\x90\x80\x80\n", false},  // above U+10FFFF
      {"\x80\n", false},              // lone continuation byte
      {std::string(MAX_LINE_BYTES, 'a') + "\n", false},
      {std::string(1 << 20, 'a'), false},
  };
  for (const Case& c : cases) {
    StringSource source(c.text, 1000, c.fail_at_end);
    RequestReader reader(source);
    LineRead line = reader.read_line();
    EXPECT_TRUE(line.failed) << c.text.substr(0, 20);
    EXPECT_EQ(line.text, "");
  }
}

TEST(HttpRequestTest, LongestLineIsAccepted) {
  std::string line = std::string(MAX_LINE_BYTES - 1, 'a') + "\n";
  StringSource source(line + "next\n", 100);
  RequestReader reader(source);
  EXPECT_EQ(reader.read_line().text, line);
  EXPECT_EQ(reader.read_line().text, "next\n");
}

TEST(HttpRequestTest, OverlongLineStopsReadingAtTheBound) {
  StringSource source(std::string(100 * MAX_LINE_BYTES, 'a'), 1000);
  RequestReader reader(source);
  EXPECT_TRUE(reader.read_line().failed);
  EXPECT_LE(source.consumed(), MAX_LINE_BYTES + 1000);
}

TEST(HttpRequestTest, RequestHead) {
  const std::string many_headers = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "X-" + std::to_string(i) + ": y\r\n";
    return text;
  }();
  struct Case {
    std::string text;
    bool fail_at_end;
    std::optional<std::string> request_line;
  } cases[] = {
      {"GET /state HTTP/1.1\r\nHost: x\r\n\r\n", false, "GET /state HTTP/1.1\r\n"},
      {"GET /state HTTP/1.1\nHost: x\n\n", false, "GET /state HTTP/1.1\n"},
      {"GET /state HTTP/1.1\r\nHost: x\r\n", true, "GET /state HTTP/1.1\r\n"},       // headers time out
      {"GET /state HTTP/1.1\r\nA: \xFF\r\n\r\n", false, "GET /state HTTP/1.1\r\n"},  // bad header ends the head
      {"GET /state HTTP/1.1\r\n" + many_headers, true, "GET /state HTTP/1.1\r\n"},   // more than the bound
      {"GET /state HTTP/1.1\r\nA: " + std::string(20000, 'x') + "\r\n", true, "GET /state HTTP/1.1\r\n"},
      {"", false, ""},                  // closed before a byte: an empty request line
      {"GET /sta", false, "GET /sta"},  // closed inside the line
      {"", true, std::nullopt},         // nothing within the time-out
      {"GET /\xFF\r\n\r\n", false, std::nullopt},
      {std::string(9000, 'G') + "\r\n\r\n", false, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(head_of(c.text, 500, c.fail_at_end), c.request_line) << c.text.substr(0, 40);
}

TEST(HttpRequestTest, HeaderReadingStopsAfterTheBlankLineAndAtTheHeaderBound) {
  StringSource body_follows("POST /state HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 1);
  RequestReader reader(body_follows);
  read_request_head(reader);
  EXPECT_EQ(reader.read_line().text, "hello");  // left for nobody: the handler closes

  std::string text = "GET / HTTP/1.1\r\n";
  for (std::size_t i = 0; i < MAX_HEADER_LINES + 5; ++i) text += "H: " + std::to_string(i) + "\r\n";
  StringSource headers(text, 1);
  RequestReader header_reader(headers);
  read_request_head(header_reader);
  EXPECT_EQ(header_reader.read_line().text, "H: " + std::to_string(MAX_HEADER_LINES) + "\r\n");
}

TEST(HttpRequestTest, WhiteSpaceIsUnicodeWhiteSpace) {
  const char32_t spaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                             0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : spaces) EXPECT_TRUE(is_unicode_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
  const char32_t others[] = {0x00, 0x08, 0x0E, 0x1C, 0x1D, 0x1E, 0x1F, 0x21, 0x84, 0x180E, 0x200B, 0x2060, 0xFEFF};
  for (char32_t c : others) EXPECT_FALSE(is_unicode_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(HttpRequestTest, Tokens) {
  using Tokens = std::vector<std::string_view>;
  struct Case {
    std::string line;
    Tokens tokens;
  } cases[] = {
      {"GET /state HTTP/1.1\r\n", {"GET", "/state", "HTTP/1.1"}},
      {" \t GET\t\t/state  HTTP/1.1\n", {"GET", "/state", "HTTP/1.1"}},
      {"GET\v/state\f", {"GET", "/state"}},
      {"GET\xC2\xA0/state", {"GET", "/state"}},                      // U+00A0
      {"GET\xC2\x85/state", {"GET", "/state"}},                      // U+0085
      {"\xE3\x80\x80GET\xE2\x80\x83/state", {"GET", "/state"}},      // U+3000, U+2003
      {"GET\xE2\x80\xA8\xE2\x80\xAF\xE2\x81\x9F/s", {"GET", "/s"}},  // U+2028, U+202F, U+205F
      {"GET\xE1\x9A\x80/s", {"GET", "/s"}},                          // U+1680
      {"GET\x1C/state", {"GET\x1C/state"}},                          // information separators are not white space
      {"GET\xE2\x80\x8B/state", {"GET\xE2\x80\x8B/state"}},          // nor is U+200B
      {"/st\xC3\xA9", {"/st\xC3\xA9"}},
      {"", {}},
      {" \r\n", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(split_tokens(c.line), c.tokens) << c.line;
  // Bytes that are not UTF-8 (callers rule them out) still end the scan, which
  // never reads past the line: the cut-off U+3000 at the end is no space.
  EXPECT_EQ(split_tokens("GET\xFF/state \xFF"), (Tokens{"GET\xFF/state", "\xFF"}));
  EXPECT_EQ(split_tokens(std::string_view("GET \xE3\x80\x80", 6)), (Tokens{"GET", "\xE3\x80"}));
}

// The row for exactly `path`.
Route at(std::string_view path) {
  for (const RouteRow& row : route_table())
    if (row.match == PathMatch::exact && row.path == path) return {&row};
  return {};
}

TEST(HttpRequestTest, Routes) {
  const Route snapshot = at("/state"), event_stream = at("/stream"), track = at("/track"), track_gpx = at("/track.gpx");
  struct Case {
    std::string line;
    Route route;
  } cases[] = {
      {"OPTIONS /anything HTTP/1.1\r\n", Route::preflight},
      {"OPTIONS\r\n", Route::preflight},
      {"OPTIONS /state HTTP/1.1\r\n", Route::preflight},
      {"options /state HTTP/1.1\r\n", snapshot},
      {"GET /state HTTP/1.1\r\n", snapshot},
      {"POST /state HTTP/1.1\r\n", snapshot},
      {"HEAD /state HTTP/1.1\r\n", snapshot},
      {"DELETE /state HTTP/1.1\r\n", snapshot},
      {"GET /state?x=1 HTTP/1.1\r\n", snapshot},
      {"GET /state? HTTP/1.1\r\n", snapshot},
      {"\tGET  /state\n", snapshot},
      {"GET /stream HTTP/1.1\r\n", event_stream},
      {"GET /stream?v=2 HTTP/1.1\r\n", event_stream},
      {"POST /stream HTTP/1.1\r\n", event_stream},
      {"GET /state/ HTTP/1.1\r\n", Route::text},
      {"GET /STATE HTTP/1.1\r\n", Route::text},
      {"GET /favicon.ico HTTP/1.1\r\n", Route::text},
      {"GET / HTTP/1.1\r\n", Route::text},
      {"HEAD / HTTP/1.1\r\n", Route::text},
      {"GET /%73tate HTTP/1.1\r\n", Route::text},
      {"GET ?/state HTTP/1.1\r\n", Route::text},
      {"GET\r\n", Route::text},
      {"/state\r\n", Route::text},  // a lone token is the method
      {"", Route::text},
      {"GET /track HTTP/1.1\r\n", track},
      {"GET /track?since=1700000000000 HTTP/1.1\r\n", track},
      {"GET /track.gpx HTTP/1.1\r\n", track_gpx},
      {"GET /track.gpx?x HTTP/1.1\r\n", track_gpx},
      {"GET /traffic?key=1 HTTP/1.1\r\n", at("/traffic")},
      {"GET /track/ HTTP/1.1\r\n", Route::text},
      {"GET /track.GPX HTTP/1.1\r\n", Route::text},
      {"GET /map HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map?bridge=http://127.0.0.1:1 HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map/leaflet/leaflet.js HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map/leaflet/leaflet.css HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map/leaflet/images/layers.png HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map/leaflet/images/marker-icon-2x.png HTTP/1.1\r\n", Route::builtin_file},
      {"GET /map/ HTTP/1.1\r\n", Route::text},
      {"GET /MAP HTTP/1.1\r\n", Route::text},
      {"GET /map/index.html HTTP/1.1\r\n", Route::text},  // the page is at /map only
      {"GET /map/leaflet/LICENSE HTTP/1.1\r\n", Route::text},
      {"GET /map/leaflet/images/ HTTP/1.1\r\n", Route::text},
      {"GET /map//leaflet/leaflet.js HTTP/1.1\r\n", Route::text},
      {"GET /map/../map HTTP/1.1\r\n", Route::text},
      {"GET /map/leaflet/../leaflet/leaflet.js HTTP/1.1\r\n", Route::text},
      {"GET /map/%2e%2e/CMakeLists.txt HTTP/1.1\r\n", Route::text},
      {"GET /map/leaflet%2Fleaflet.js HTTP/1.1\r\n", Route::text},
      {"GET /map/leaflet/leaflet.js/ HTTP/1.1\r\n", Route::text},
      {"GET /leaflet/leaflet.js HTTP/1.1\r\n", Route::text},
      {"OPTIONS /map HTTP/1.1\r\n", Route::preflight},
  };
  for (const Case& c : cases) EXPECT_EQ(route_for(parse_request_line(c.line)), c.route) << c.line;
  EXPECT_EQ(parse_request_line("GET").path, "/");
  EXPECT_EQ(parse_request_line("GET /a?b?c").path, "/a");
}

TEST(HttpRequestTest, KeepsHostIfNoneMatchAndAcceptEncodingOnly) {
  StringSource source(
      "GET /map HTTP/1.1\r\nhost: 127.0.0.1:49080\r\nACCEPT-ENCODING:gzip, br \r\nIf-None-Match: \"a\"\r\n"
      "X-Host: no\r\nIf-None-Match:\t\"b\"\t\r\nAccept-Encoding : no\r\n If-None-Match: \"c\"\r\n"
      "Accept-Encoding:\r\norigin: http://localhost:49080\r\nContent-Length: 12\r\n\r\nHost: after the head\r\n",
      3);
  RequestReader reader(source);
  std::optional<RequestHead> head = read_request_head(reader);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->line, "GET /map HTTP/1.1\r\n");
  EXPECT_EQ(head->host, "127.0.0.1:49080");
  EXPECT_EQ(head->accept_encoding, "gzip, br");
  EXPECT_EQ(head->if_none_match, "\"a\", \"b\"");  // repeated lines join as one list
  EXPECT_EQ(head->origin, "http://localhost:49080");
  EXPECT_EQ(head->content_length, "12");

  // A value beyond the bound is left out; what was kept stays.
  RequestHead bounded;
  keep_header(bounded, "Host: " + std::string(MAX_KEPT_HEADER_BYTES, 'h') + "\r\n");
  EXPECT_EQ(bounded.host, std::string(MAX_KEPT_HEADER_BYTES, 'h'));
  keep_header(bounded, "Host: x\r\n");
  keep_header(bounded, "If-None-Match: " + std::string(MAX_KEPT_HEADER_BYTES + 1, 'e'));
  EXPECT_EQ(bounded.host, std::string(MAX_KEPT_HEADER_BYTES, 'h'));
  EXPECT_EQ(bounded.if_none_match, "");
  keep_header(bounded, "no colon at all");
  keep_header(bounded, ":");
  EXPECT_EQ(bounded.accept_encoding, "");
}

TEST(HttpRequestTest, SinceIsAPlainDecimalInteger) {
  struct Case {
    std::string_view query;
    std::optional<std::uint64_t> since;
  } cases[] = {
      {"since=1700000000000", 1700000000000},
      {"key=abc&since=5&since=6", 5},
      {"since=0", 0},
      {"since=18446744073709551615", 18446744073709551615u},
      {"since=99999999999999999999999", 18446744073709551615u},  // later than any point
      {"", std::nullopt},
      {"since=", std::nullopt},
      {"since=-1", std::nullopt},
      {"since=+1", std::nullopt},
      {"since=1.5", std::nullopt},
      {"since=1e3", std::nullopt},
      {"since= 1", std::nullopt},
      {"since=0x10", std::nullopt},
      {"Since=1", std::nullopt},
      {"xsince=1", std::nullopt},
      {"since", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(since_of(c.query), c.since) << c.query;
  EXPECT_EQ(parse_request_line("GET /track?since=5&x HTTP/1.1").query, "since=5&x");
  EXPECT_EQ(parse_request_line("GET /track HTTP/1.1").query, "");
}

TEST(HttpRequestTest, GzipWhenTheClientTakesIt) {
  struct Case {
    std::string_view accept_encoding;
    bool gzip;
  } cases[] = {
      {"gzip", true},
      {"gzip, deflate, br, zstd", true},
      {"br;q=1.0, GZIP;q=0.5", true},
      {"x-gzip", true},
      {"*", true},
      {"identity, *;q=0.1", true},
      {"gzip;q=0.001", true},
      {"", false},
      {"identity", false},
      {"br, deflate", false},
      {"gzip;q=0", false},
      {"gzip; q=0.000", false},
      {"gzip;Q=0.", false},
      {"*;q=0", false},
      {"gzip;q=0, *", false},  // named and refused: "*" does not bring it back
      {"gzipx", false},
      {"gzip-not", false},
  };
  for (const Case& c : cases) EXPECT_EQ(accepts_gzip(c.accept_encoding), c.gzip) << c.accept_encoding;
}

TEST(HttpRequestTest, ETagMatching) {
  const std::string_view etag = "\"0123abcd\"";
  struct Case {
    std::string_view if_none_match;
    bool match;
  } cases[] = {
      {"\"0123abcd\"", true},
      {"W/\"0123abcd\"", true},
      {"\"x\", \"0123abcd\"", true},
      {"\"x\",\"0123abcd\" ", true},
      {"*", true},
      {"", false},
      {"0123abcd", false},
      {"\"0123ABCD\"", false},
      {"\"0123abc\"", false},
      {"\"0123abcd\"x", false},
      {"w/\"0123abcd\"", false},
      {"\"x\", *", false},
  };
  for (const Case& c : cases) EXPECT_EQ(etag_matches(c.if_none_match, etag), c.match) << c.if_none_match;
}

TEST(HttpRequestTest, ReceiveTimeoutKeepsToTheHeadBudget) {
  std::chrono::steady_clock::time_point start{};
  auto deadline = start + 10s;
  EXPECT_EQ(next_receive_timeout(start, deadline, 5000ms), 5000ms);
  EXPECT_EQ(next_receive_timeout(start + 7s, deadline, 5000ms), 3000ms);
  EXPECT_EQ(next_receive_timeout(start + 9999999us, deadline, 5000ms), 1ms);  // rounded up, never 0 (no time-out)
  EXPECT_EQ(next_receive_timeout(deadline, deadline, 5000ms), std::nullopt);
  EXPECT_EQ(next_receive_timeout(deadline + 1s, deadline, 5000ms), std::nullopt);
}

}  // namespace

}  // namespace tavrik
