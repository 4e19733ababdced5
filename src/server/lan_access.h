// Who may read the bridge when it listens for other machines ("--lan"): the
// key they must bring, the addresses a tablet can use, and the bounds on how
// many connections other machines may hold. Decisions here are pure; the
// connection and the accept loop act on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "server/http_request.h"
#include "server/routes.h"

namespace tavrik {

// A new key holds this many random bytes (128 bits), written as 32 hex digits.
constexpr std::size_t KEY_RANDOM_BYTES = 16;
// A key the user chooses must be at least this long.
constexpr std::size_t MIN_KEY_LENGTH = 16;

// Connections that other machines may hold at once, all together and from one
// address. Loopback connections are not counted.
constexpr int MAX_LAN_CONNECTIONS = 32;
constexpr int MAX_LAN_CONNECTIONS_PER_ADDRESS = 8;

// What every connection of a bridge started with "--lan" shares, read-only.
struct LanAccess {
  std::string key;
  std::uint16_t port = 0;  // the port actually listened on
};

// True for a key of at least MIN_KEY_LENGTH characters, each of them one that
// a URL carries unescaped: A-Z a-z 0-9 - . _ ~
bool is_valid_key(std::string_view key);

// The key written as lowercase hex digits, two per byte.
std::string key_from_bytes(std::span<const unsigned char> bytes);

// Compares `given` with `key` without stopping at the first difference: every
// byte of `key` is read, and the time taken depends on the lengths alone.
// `Bytes` offers size() and operator[] giving a char (tests count the reads).
template <typename Bytes>
bool constant_time_equal(const Bytes& given, const Bytes& key) {
  unsigned difference = given.size() == key.size() ? 0 : 1;
  std::size_t given_size = given.size();
  for (std::size_t i = 0; i < key.size(); ++i) {
    // Past the end of `given`, a byte of the key stands in: the difference is
    // already set by the lengths.
    unsigned char g = static_cast<unsigned char>(i < given_size ? given[i] : key[i]);
    difference |= g ^ static_cast<unsigned char>(key[i]);
  }
  return difference == 0;
}

inline bool keys_equal(std::string_view given, std::string_view key) { return constant_time_equal(given, key); }

using platform::is_loopback;

// True when a request with `query` from `peer` may be served: loopback always,
// another machine only with the key. Without `lan` only loopback can connect.
bool request_permitted(std::uint32_t peer, std::string_view query, const LanAccess* lan);

// The route a request gets once its caller is known. Another machine without
// the right key is forbidden whatever it asks, a preflight included. Then the
// row's caller rule: a route for this computer's own page (CallerRule::own_page)
// is there only with `lan` (else the text notice), and only for a loopback
// peer whose `host` header names this computer (a name that rebinds to
// 127.0.0.1 does not); others are forbidden. A route for this computer alone
// (CallerRule::this_computer) is there when may_change_plan allows `origin` on
// `port`, else Route::plan_forbidden.
Route admitted_route(Route route, const RequestTarget& target, std::uint32_t peer, std::string_view host,
                     const LanAccess* lan, std::string_view origin = {}, std::uint16_t port = 0);

// True when `host` (a request's Host header) names this computer itself on
// `port`: "localhost:<port>" or "127.0.0.1:<port>", byte for byte.
bool is_own_host(std::string_view host, std::uint16_t port);

// True when a request may change what the bridge keeps (the plan): from this
// computer (a loopback peer) with no `origin` (the Origin header, empty when
// absent) or the bridge's own, "http://localhost:<port>" or
// "http://127.0.0.1:<port>". A page of another site is refused, and so is
// every other machine, with the key or without.
bool may_change_plan(std::uint32_t peer, std::string_view origin, std::uint16_t port);

// True for an address a tablet can reach: up, not loopback, not link-local
// (169.254/16, what a machine takes when no network gave it an address).
bool is_tablet_address(const platform::InterfaceAddress& address);

// "http://<address>:<port>/map?key=<key>" for every tablet address, in order.
std::vector<std::string> tablet_urls(const std::vector<platform::InterfaceAddress>& addresses, const LanAccess& lan);

// One "→ tablet: <url>\n" line per url.
std::string tablet_lines(const std::vector<std::string>& urls);

// {"urls":["…",…]}
std::string tablet_json(const std::vector<std::string>& urls);

// The connections that other machines hold, counted by the accept loop and
// given back by each connection's thread as it ends.
class LanSlots : public std::enable_shared_from_this<LanSlots> {
 public:
  // Held by one connection for its life; gives its place back when destroyed.
  class Slot {
   public:
    Slot() = default;  // a loopback connection's: counts nothing
    Slot(Slot&& other) noexcept : slots_(std::move(other.slots_)), ip_(other.ip_) {}
    Slot& operator=(Slot&& other) noexcept;
    ~Slot() { give_back(); }

   private:
    friend class LanSlots;
    Slot(std::shared_ptr<LanSlots> slots, std::uint32_t ip) : slots_(std::move(slots)), ip_(ip) {}
    void give_back();
    std::shared_ptr<LanSlots> slots_;
    std::uint32_t ip_ = 0;
  };

  // A slot for a connection from `peer`, or nothing when it would pass a cap.
  // Loopback peers always get one.
  std::optional<Slot> take(std::uint32_t peer);

  int held() const;
  int held_by(std::uint32_t peer) const;

 private:
  void give_back(std::uint32_t peer);

  mutable std::mutex mutex_;
  int total_ = 0;
  std::map<std::uint32_t, int> per_address_;  // no entry at zero: at most MAX_LAN_CONNECTIONS
};

}  // namespace tavrik
