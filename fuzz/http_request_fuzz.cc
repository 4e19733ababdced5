// The request head as the server reads it: the same reader, tokeniser and
// router, with the fuzz input also choosing how the bytes arrive.
//
// Input: byte 0 holds how many of the following bytes (at most 16) give the
// sizes of successive reads (0 in a size byte: that read fails); the rest is
// what the client sends.
//
// Properties: a returned request line is valid UTF-8, at most MAX_LINE_BYTES
// long and the first line of the bytes sent; kept header values are bounded,
// valid UTF-8 and trimmed; the same bytes in one read give the same outcome
// unless a read failed; routing is total and serves no path with ".." or "%"
// as a built-in file; the header value readers are total; another machine is
// let through only with the key in the query.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "server/builtin_files.h"
#include "server/http_request.h"
#include "server/lan_access.h"

namespace tavrik {

namespace {

// Hands out `bytes` in reads of the sizes given, cycling through them.
class SplitSource : public ByteSource {
 public:
  SplitSource(std::string_view bytes, std::vector<std::uint8_t> sizes) : bytes_(bytes), sizes_(std::move(sizes)) {}

  SourceRead read_some(char* buffer, std::size_t size) override {
    std::size_t want = size;
    if (!sizes_.empty()) {
      std::uint8_t next = sizes_[turn_++ % sizes_.size()];
      if (next == 0) return {0, true};
      want = std::min<std::size_t>(want, next);
    }
    std::size_t take = std::min(want, bytes_.size() - at_);
    std::copy_n(bytes_.data() + at_, take, buffer);
    at_ += take;
    return {take, false};
  }

 private:
  std::string_view bytes_;
  std::vector<std::uint8_t> sizes_;
  std::size_t at_ = 0;
  std::size_t turn_ = 0;
};

std::optional<RequestHead> read_head(std::string_view bytes, std::vector<std::uint8_t> sizes) {
  SplitSource source(bytes, std::move(sizes));
  auto reader = std::make_unique<RequestReader>(source);
  return read_request_head(*reader);
}

void check(bool property) {
  if (!property) std::abort();
}

bool within(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t split_count = std::min<std::size_t>(data[0] % 17, size - 1);
  std::vector<std::uint8_t> sizes(data + 1, data + 1 + split_count);
  std::string_view bytes(reinterpret_cast<const char*>(data + 1 + split_count), size - 1 - split_count);

  std::optional<RequestHead> head = read_head(bytes, sizes);
  bool any_failed_read = std::find(sizes.begin(), sizes.end(), 0) != sizes.end();
  if (!any_failed_read) check(read_head(bytes, {}) == head);
  if (!head) return 0;
  const std::string* line = &head->line;
  for (const std::string* value : {&head->host, &head->if_none_match, &head->accept_encoding}) {
    check(value->size() <= MAX_KEPT_HEADER_BYTES);
    check(is_valid_utf8(*value));
    check(value->empty() || (value->front() != ' ' && value->back() != ' ' && value->back() != '\n'));
  }
  accepts_gzip(head->accept_encoding);
  etag_matches(head->if_none_match, "\"0\"");

  check(line->size() <= MAX_LINE_BYTES);
  check(is_valid_utf8(*line));
  check(bytes.substr(0, line->size()) == *line);
  check(line->find('\n') == std::string::npos || line->find('\n') == line->size() - 1);

  RequestTarget target = parse_request_line(*line);
  check(within(target.method, *line));
  check(target.path.find('?') == std::string_view::npos);
  check(within(target.query, *line) && target.query.size() <= line->size());
  Route route = route_for(target);
  check((route == Route::preflight) == (target.method == "OPTIONS"));
  // Only the fixed set of built-in files is served, nothing else below /map.
  if (route == Route::builtin_file) check(find_builtin_file(target.path) && target.path.starts_with("/map"));
  if (target.path.find("..") != std::string_view::npos || target.path.find('%') != std::string_view::npos)
    check(route != Route::builtin_file);
  since_of(target.query);
  static const LanAccess lan{"0123456789abcdef", 49080};
  bool has_key = query_parameter(target.query, "key") == std::optional<std::string_view>(lan.key);
  Route admitted = admitted_route(route, target, 0x0AD50002, "localhost:49080", &lan);
  check(admitted == (!has_key || route == Route::tablet       ? Route::forbidden
                     : route.row->caller == CallerRule::keyed ? route
                                                              : Route::plan_forbidden));
  for (std::string_view token : split_tokens(*line)) check(!token.empty() && within(token, *line));
  return 0;
}

}  // namespace tavrik
