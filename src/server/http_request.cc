#include "server/http_request.h"

#include <algorithm>
#include <cstring>

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

std::optional<std::string> read_request_head(RequestReader& reader) {
  LineRead request = reader.read_line();
  if (request.failed) return std::nullopt;
  for (std::size_t count = 0; count < MAX_HEADER_LINES; ++count) {
    LineRead header = reader.read_line();
    if (header.failed || is_blank_line(header.text)) break;
  }
  return std::move(request.text);
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

Route route_for(const RequestTarget& target) {
  if (target.method == "OPTIONS") return Route::preflight;
  if (target.path == "/state") return Route::snapshot;
  if (target.path == "/stream") return Route::event_stream;
  if (target.path == "/tablet") return Route::tablet;
  return Route::text;
}

std::optional<std::chrono::milliseconds> next_receive_timeout(std::chrono::steady_clock::time_point now,
                                                              std::chrono::steady_clock::time_point deadline,
                                                              std::chrono::milliseconds per_read) {
  if (now >= deadline) return std::nullopt;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return std::max(std::chrono::milliseconds(1), std::min(left, per_read));
}

}  // namespace tavrik
