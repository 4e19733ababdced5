#include "efb/announcement.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace tavrik {
namespace {

constexpr int MAX_DEPTH = 8;

// A strict JSON reader over one datagram: RFC 8259 grammar, no extensions.
// It keeps only what the announcement needs.
struct Reader {
  std::string_view text;
  std::size_t at = 0;

  bool end() const { return at >= text.size(); }
  char peek() const { return end() ? '\0' : text[at]; }
  void skip_space() {
    while (!end() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
  }
  bool take(char c) {
    skip_space();
    if (peek() != c) return false;
    ++at;
    return true;
  }
  bool literal(std::string_view word) {
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
  }

  // A string; its bytes (escapes kept as written, which no key we look for has).
  bool string(std::string* out) {
    if (!take('"')) return false;
    while (!end()) {
      auto c = static_cast<unsigned char>(text[at++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (end()) return false;
        char e = text[at++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i, ++at)
            if (end() || !std::isxdigit(static_cast<unsigned char>(text[at]))) return false;
          if (out) out->append("\\u");
          continue;
        }
        if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return false;
        if (out) out->push_back('\\');
        c = static_cast<unsigned char>(e);
      }
      if (out) out->push_back(static_cast<char>(c));
    }
    return false;
  }

  // A number; its value when it is a plain integer of at most 9 digits.
  bool number(std::optional<long>* integer) {
    std::size_t start = at;
    if (peek() == '-') ++at;
    if (peek() == '0') {
      ++at;
    } else if (peek() >= '1' && peek() <= '9') {
      while (peek() >= '0' && peek() <= '9') ++at;
    } else {
      return false;
    }
    bool plain = true;
    if (peek() == '.') {
      plain = false;
      ++at;
      if (!(peek() >= '0' && peek() <= '9')) return false;
      while (peek() >= '0' && peek() <= '9') ++at;
    }
    if (peek() == 'e' || peek() == 'E') {
      plain = false;
      ++at;
      if (peek() == '+' || peek() == '-') ++at;
      if (!(peek() >= '0' && peek() <= '9')) return false;
      while (peek() >= '0' && peek() <= '9') ++at;
    }
    std::string_view digits = text.substr(start, at - start);
    if (integer && plain && digits.size() <= 9) *integer = std::stol(std::string(digits));
    return true;
  }

  // Any value, skipped; for members the announcement does not need.
  bool value(int depth) {
    skip_space();
    if (depth > MAX_DEPTH) return false;
    char c = peek();
    if (c == '"') return string(nullptr);
    if (c == '{') return object(depth + 1, [&](const std::string&) { return value(depth + 1); });
    if (c == '[') {
      ++at;
      if (take(']')) return true;
      do {
        if (!value(depth + 1)) return false;
      } while (take(','));
      return take(']');
    }
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number(nullptr);
  }

  // An object; `member` reads the value of each key. Keys must not repeat.
  template <typename Member>
  bool object(int depth, Member member) {
    if (depth > MAX_DEPTH || !take('{')) return false;
    if (take('}')) return true;
    std::vector<std::string> keys;
    do {
      std::string key;
      skip_space();
      if (!string(&key) || !take(':')) return false;
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) return false;
      keys.push_back(key);
      if (!member(key)) return false;
    } while (take(','));
    return take('}');
  }
};

}  // namespace

std::optional<std::uint16_t> read_announcement(std::string_view datagram) {
  if (datagram.size() > MAX_ANNOUNCEMENT_SIZE) return std::nullopt;
  Reader reader{datagram};
  std::optional<std::string> app;
  std::optional<long> port;
  bool ok = reader.object(1, [&](const std::string& key) {
    if (key == "App") {
      reader.skip_space();
      app.emplace();
      return reader.string(&*app);
    }
    if (key != "GDL90") return reader.value(1);
    return reader.object(2, [&](const std::string& inner) {
      if (inner != "port") return reader.value(2);
      reader.skip_space();
      std::optional<long> number;
      if (!reader.number(&number)) return false;
      port = number.value_or(-1);
      return true;
    });
  });
  reader.skip_space();
  if (!ok || !reader.end() || app != "ForeFlight" || !port || *port < 1 || *port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(*port);
}

bool note_announcement(AnnouncedApps& known, std::uint32_t ip, std::uint16_t port, Instant now) {
  for (auto& app : known.apps) {
    if (app.ip != ip) continue;
    app.port = port;
    app.last_heard = now;
    return false;
  }
  if (known.apps.size() >= MAX_ANNOUNCED_APPS) return false;
  known.apps.push_back({ip, port, now});
  return true;
}

void forget_silent_apps(AnnouncedApps& known, Instant now) {
  std::erase_if(known.apps, [now](const AnnouncedApp& app) { return now - app.last_heard >= APP_FORGOTTEN_AFTER; });
}

}  // namespace tavrik
