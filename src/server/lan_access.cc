#include "server/lan_access.h"

#include <algorithm>

namespace tavrik {
namespace {

bool is_unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

constexpr std::uint32_t LINK_LOCAL = 0xA9FE0000;  // 169.254.0.0/16

}  // namespace

bool is_valid_key(std::string_view key) {
  return key.size() >= MIN_KEY_LENGTH && std::all_of(key.begin(), key.end(), is_unreserved);
}

std::string key_from_bytes(std::span<const unsigned char> bytes) {
  constexpr char DIGITS[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key += DIGITS[b >> 4];
    key += DIGITS[b & 0xF];
  }
  return key;
}

bool request_permitted(std::uint32_t peer, std::string_view query, const LanAccess* lan) {
  if (is_loopback(peer)) return true;
  if (!lan) return false;
  std::optional<std::string_view> key = query_parameter(query, "key");
  return key && keys_equal(*key, lan->key);
}

Route admitted_route(Route route, const RequestTarget& target, std::uint32_t peer, std::string_view host,
                     const LanAccess* lan, std::string_view origin, std::uint16_t port) {
  if (!request_permitted(peer, target.query, lan)) return Route::forbidden;
  switch (route.row->caller) {
    case CallerRule::keyed:
      return route;
    case CallerRule::own_page:
      if (!lan) return Route::text;
      return is_loopback(peer) && is_own_host(host, lan->port) ? route : Route::forbidden;
    case CallerRule::this_computer:
      return may_change_plan(peer, origin, port) ? route : Route::plan_forbidden;
  }
  return Route::forbidden;
}

bool is_own_host(std::string_view host, std::uint16_t port) {
  std::string suffix = ":" + std::to_string(port);
  return host == "localhost" + suffix || host == "127.0.0.1" + suffix;
}

bool may_change_plan(std::uint32_t peer, std::string_view origin, std::uint16_t port) {
  constexpr std::string_view SCHEME = "http://";
  if (!is_loopback(peer)) return false;
  return origin.empty() || (origin.starts_with(SCHEME) && is_own_host(origin.substr(SCHEME.size()), port));
}

bool is_tablet_address(const platform::InterfaceAddress& address) {
  return address.up && !address.loopback && !is_loopback(address.ip) && (address.ip & 0xFFFF0000) != LINK_LOCAL &&
         address.ip != 0;
}

std::vector<std::string> tablet_urls(const std::vector<platform::InterfaceAddress>& addresses, const LanAccess& lan) {
  std::vector<std::string> urls;
  for (const auto& address : addresses)
    if (is_tablet_address(address))
      urls.push_back("http://" + platform::format_address({address.ip, lan.port}) + "/map?key=" + lan.key);
  return urls;
}

std::string tablet_lines(const std::vector<std::string>& urls) {
  std::string lines;
  for (const auto& url : urls) lines += "→ tablet: " + url + "\n";
  return lines;
}

std::string tablet_json(const std::vector<std::string>& urls) {
  // The urls hold nothing that JSON would escape: digits, dots, letters and
  // the key's unreserved characters.
  std::string json = "{\"urls\":[";
  for (std::size_t i = 0; i < urls.size(); ++i) json += (i ? ",\"" : "\"") + urls[i] + "\"";
  return json + "]}";
}

LanSlots::Slot& LanSlots::Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    give_back();
    slots_ = std::move(other.slots_);
    ip_ = other.ip_;
  }
  return *this;
}

void LanSlots::Slot::give_back() {
  if (slots_) slots_->give_back(ip_);
  slots_.reset();
}

std::optional<LanSlots::Slot> LanSlots::take(std::uint32_t peer) {
  if (is_loopback(peer)) return Slot();
  std::lock_guard<std::mutex> lock(mutex_);
  int& from_peer = per_address_[peer];
  if (total_ >= MAX_LAN_CONNECTIONS || from_peer >= MAX_LAN_CONNECTIONS_PER_ADDRESS) {
    if (from_peer == 0) per_address_.erase(peer);
    return std::nullopt;
  }
  ++total_;
  ++from_peer;
  return Slot(shared_from_this(), peer);
}

int LanSlots::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

int LanSlots::held_by(std::uint32_t peer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = per_address_.find(peer);
  return it == per_address_.end() ? 0 : it->second;
}

void LanSlots::give_back(std::uint32_t peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  --total_;
  if (--per_address_[peer] == 0) per_address_.erase(peer);
}

}  // namespace tavrik
