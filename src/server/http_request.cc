#include "server/http_request.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tavrik {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the UTF-8 sequence starting with `lead`, or 0 for a byte that
// cannot start one (continuation bytes, C0/C1 overlong leads, F5 and above).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Rules out overlong three- and four-byte forms, surrogates and code points
// above U+10FFFF, all of which show in the second byte.
bool is_allowed_second_byte(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

// The code point at `at` of valid UTF-8 `text`; advances `at` past it. On
// other bytes it still advances by one byte at least and never beyond the
// end, so a scan cannot stall or overrun even if a caller skips the check.
char32_t decode_at(std::string_view text, std::size_t& at) {
  auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = std::clamp<std::size_t>(sequence_length(lead), 1, text.size() - at);
  static constexpr unsigned char LEAD_MASK[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code_point = lead & LEAD_MASK[length];
  for (std::size_t i = 1; i < length; ++i) code_point = (code_point << 6) | (text[at + i] & 0x3F);
  at += length;
  return code_point;
}

bool is_blank_line(const std::string& line) { return line.empty() || line == "\r\n" || line == "\n"; }

// Without the spaces, tabs and line ends around it.
std::string_view trimmed(std::string_view text) {
  constexpr std::string_view BLANKS = " \t\r\n";
  std::size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(BLANKS) + 1 - first);
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower_ascii(x) == lower_ascii(y); });
}

// Calls visit(item) for each comma-separated item of a header value, trimmed.
template <typename Visit>
void for_each_item(std::string_view list, Visit visit) {
  for (std::size_t at = 0; at <= list.size();) {
    std::size_t end = std::min(list.find(',', at), list.size());
    visit(trimmed(list.substr(at, end - at)));
    at = end + 1;
  }
}

// A q parameter of 0 ("0", "0.", "0.0" ... "0.000") refuses a coding.
bool refused(std::string_view parameters) {
  for (std::size_t at = 0; at < parameters.size();) {
    std::size_t end = std::min(parameters.find(';', at), parameters.size());
    std::string_view parameter = trimmed(parameters.substr(at, end - at));
    at = end + 1;
    std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos || !same_ignoring_case(trimmed(parameter.substr(0, equals)), "q")) continue;
    std::string_view q = trimmed(parameter.substr(equals + 1));
    return q.size() <= 5 && q.starts_with("0") && (q.size() == 1 || q[1] == '.') &&
           q.find_first_not_of('0', 2) == std::string_view::npos;
  }
  return false;
}

// The value of plain decimal digits, or nothing; beyond 2^64-1 it counts as 2^64-1.
std::optional<std::uint64_t> decimal_of(std::string_view digits) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  constexpr std::uint64_t MOST = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char digit : digits) {
    auto d = static_cast<std::uint64_t>(digit - '0');
    value = value > (MOST - d) / 10 ? MOST : value * 10 + d;
  }
  return value;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length = sequence_length(lead);
    if (length == 0 || bytes.size() - at < length) return false;
    for (std::size_t i = 1; i < length; ++i)
      if (!is_continuation(static_cast<unsigned char>(bytes[at + i]))) return false;
    if (length > 1 && !is_allowed_second_byte(lead, static_cast<unsigned char>(bytes[at + 1]))) return false;
    at += length;
  }
  return true;
}

LineRead RequestReader::read_line() {
  std::string line;
  for (;;) {
    if (start_ == end_) {
      SourceRead got = source_.read_some(buffer_, sizeof buffer_);
      if (got.failed) return {{}, true};
      if (got.bytes == 0) break;  // end of data
      start_ = 0;
      end_ = got.bytes;
    }
    const char* from = buffer_ + start_;
    auto* line_feed = static_cast<const char*>(std::memchr(from, '\n', end_ - start_));
    std::size_t take = line_feed ? static_cast<std::size_t>(line_feed - from) + 1 : end_ - start_;
    start_ += take;
    if (line.size() + take > MAX_LINE_BYTES) return {{}, true};
    line.append(from, take);
    if (line_feed) break;
  }
  if (!is_valid_utf8(line)) return {{}, true};
  return {std::move(line), false};
}

std::optional<std::string> RequestReader::read_bytes(std::size_t count) {
  std::string bytes;
  while (bytes.size() < count) {
    if (start_ == end_) {
      SourceRead got = source_.read_some(buffer_, sizeof buffer_);
      if (got.failed || got.bytes == 0) return std::nullopt;
      start_ = 0;
      end_ = got.bytes;
    }
    std::size_t take = std::min(end_ - start_, count - bytes.size());
    bytes.append(buffer_ + start_, take);
    start_ += take;
  }
  return bytes;
}

void keep_header(RequestHead& head, std::string_view header_line) {
  std::size_t colon = header_line.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view name = header_line.substr(0, colon);
  std::string* kept = same_ignoring_case(name, "Host")              ? &head.host
                      : same_ignoring_case(name, "If-None-Match")   ? &head.if_none_match
                      : same_ignoring_case(name, "Accept-Encoding") ? &head.accept_encoding
                      : same_ignoring_case(name, "Origin")          ? &head.origin
                      : same_ignoring_case(name, "Content-Length")  ? &head.content_length
                                                                    : nullptr;
  std::string_view value = trimmed(header_line.substr(colon + 1));
  if (!kept || value.empty()) return;
  std::size_t separator = kept->empty() ? 0 : 2;
  if (kept->size() + separator + value.size() > MAX_KEPT_HEADER_BYTES) return;
  if (separator) *kept += ", ";
  *kept += value;
}

std::optional<RequestHead> read_request_head(RequestReader& reader) {
  LineRead request = reader.read_line();
  if (request.failed) return std::nullopt;
  RequestHead head;
  head.line = std::move(request.text);
  for (std::size_t count = 0; count < MAX_HEADER_LINES; ++count) {
    LineRead header = reader.read_line();
    if (header.failed || is_blank_line(header.text)) break;
    keep_header(head, header.text);
  }
  return head;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> split_tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t token_start = 0;
  bool in_token = false;
  for (std::size_t at = 0; at < line.size();) {
    std::size_t here = at;
    bool space = is_unicode_white_space(decode_at(line, at));
    if (space && in_token) tokens.push_back(line.substr(token_start, here - token_start));
    if (!space && !in_token) token_start = here;
    in_token = !space;
  }
  if (in_token) tokens.push_back(line.substr(token_start));
  return tokens;
}

RequestTarget parse_request_line(std::string_view line) {
  std::vector<std::string_view> tokens = split_tokens(line);
  RequestTarget target;
  if (!tokens.empty()) target.method = tokens[0];
  std::string_view request_target = tokens.size() > 1 ? tokens[1] : std::string_view("/");
  std::size_t question = request_target.find('?');
  target.path = request_target.substr(0, question);
  if (question != std::string_view::npos) target.query = request_target.substr(question + 1);
  return target;
}

std::optional<std::string_view> query_parameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::size_t end = std::min(query.find('&'), query.size());
    std::string_view parameter = query.substr(0, end);
    if (parameter.size() > name.size() && parameter.substr(0, name.size()) == name && parameter[name.size()] == '=')
      return parameter.substr(name.size() + 1);
    query.remove_prefix(std::min(end + 1, query.size()));
  }
  return std::nullopt;
}

std::optional<std::uint64_t> since_of(std::string_view query) {
  std::optional<std::string_view> digits = query_parameter(query, "since");
  return digits ? decimal_of(*digits) : std::nullopt;
}

std::optional<std::uint64_t> content_length_of(std::string_view value) { return decimal_of(value); }

bool accepts_gzip(std::string_view accept_encoding) {
  std::optional<bool> gzip, any;
  for_each_item(accept_encoding, [&](std::string_view item) {
    std::size_t semicolon = std::min(item.find(';'), item.size());
    std::string_view coding = trimmed(item.substr(0, semicolon));
    bool allowed = !refused(item.substr(semicolon));
    if (!gzip && (same_ignoring_case(coding, "gzip") || same_ignoring_case(coding, "x-gzip"))) gzip = allowed;
    if (!any && coding == "*") any = allowed;
  });
  return gzip.value_or(any.value_or(false));
}

bool etag_matches(std::string_view if_none_match, std::string_view etag) {
  if (trimmed(if_none_match) == "*") return true;
  bool found = false;
  for_each_item(if_none_match, [&](std::string_view item) {
    if (item.starts_with("W/")) item.remove_prefix(2);
    found = found || item == etag;
  });
  return found;
}

std::optional<std::chrono::milliseconds> next_receive_timeout(std::chrono::steady_clock::time_point now,
                                                              std::chrono::steady_clock::time_point deadline,
                                                              std::chrono::milliseconds per_read) {
  if (now >= deadline) return std::nullopt;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return std::max(std::chrono::milliseconds(1), std::min(left, per_read));
}

}  // namespace tavrik
