// The socket code both systems share: their socket interfaces differ only in
// the calls socket_calls.h names.
#include <algorithm>
#include <array>
#include <atomic>

#include "platform/socket_calls.h"

namespace tavrik::platform {

sockaddr_in to_sockaddr(Ipv4Address address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address.ip);
  sa.sin_port = htons(address.port);
  return sa;
}

Ipv4Address from_sockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

std::optional<Ipv4Address> parse_ipv4(std::string_view text, std::uint16_t port) {
  start_sockets();
  std::string copy(text);
  in_addr addr{};
  if (inet_pton(AF_INET, copy.c_str(), &addr) != 1) return std::nullopt;
  return Ipv4Address{ntohl(addr.s_addr), port};
}

std::optional<Ipv4Address> resolve_ipv4(const std::string& host, std::uint16_t port) {
  if (auto literal = parse_ipv4(host, port)) return literal;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
  std::optional<Ipv4Address> found;
  for (addrinfo* ai = list; ai && !found; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    Ipv4Address a = from_sockaddr(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr));
    found = Ipv4Address{a.ip, port};
  }
  freeaddrinfo(list);
  return found;
}

Socket open_udp(Ipv4Address local, int* error) {
  Socket socket = new_socket(SOCK_DGRAM, error);
  if (!socket.valid()) return socket;
  sockaddr_in sa = to_sockaddr(local);
  if (bind(native_of(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = last_socket_error();
    return Socket();
  }
  return socket;
}

Socket open_tcp_listener(Ipv4Address local, int backlog, int* error) {
  Socket socket = new_socket(SOCK_STREAM, error);
  if (!socket.valid()) return socket;
  prepare_listener(socket);
  sockaddr_in sa = to_sockaddr(local);
  if (bind(native_of(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(native_of(socket), backlog) != 0) {
    *error = last_socket_error();
    return Socket();
  }
  return socket;
}

Socket connect_tcp(Ipv4Address remote, int* error) {
  Socket socket = new_socket(SOCK_STREAM, error);
  if (!socket.valid()) return socket;
  sockaddr_in sa = to_sockaddr(remote);
  if (connect(native_of(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = last_socket_error();
    return Socket();
  }
  return socket;
}

std::optional<Ipv4Address> local_address(const Socket& socket) {
  sockaddr_in sa{};
  SocketLength len = sizeof sa;
  if (getsockname(native_of(socket), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return from_sockaddr(sa);
}

bool set_receive_timeout(const Socket& socket, int milliseconds) {
  return set_timeout(socket, SO_RCVTIMEO, milliseconds);
}

bool set_send_timeout(const Socket& socket, int milliseconds) { return set_timeout(socket, SO_SNDTIMEO, milliseconds); }

bool set_receive_buffer(const Socket& socket, int bytes) {
  return setsockopt(native_of(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

namespace {

// Published before the handler is installed; the handler only loads them.
std::atomic<const Farewell*> installed_farewell{nullptr};
std::atomic<bool> farewell_armed{false};
std::atomic<bool> farewell_started{false};
static_assert(std::atomic<const Farewell*>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read from a signal handler");

}  // namespace

void install_farewell(const Socket& socket, Ipv4Address to, const std::vector<std::string>& datagrams,
                      std::size_t group) {
  installed_farewell.store(
      new Farewell{native_of(socket), to_sockaddr(to), datagrams, group});  // kept for the whole run
  install_ending_handler();
}

void arm_farewell() { farewell_armed.store(true); }

const Farewell* armed_farewell() { return farewell_armed.load() ? installed_farewell.load() : nullptr; }

const Farewell* begin_farewell() {
  const Farewell* farewell = armed_farewell();
  if (farewell) farewell_started.store(true);
  return farewell;
}

bool farewell_begun() { return farewell_started.load(); }

bool send_all(const Socket& socket, const void* data, std::size_t size) {
  std::string_view whole(static_cast<const char*>(data), size);
  return send_all(socket, std::span(&whole, 1));
}

bool send_all(const Socket& socket, std::span<const std::string_view> pieces) {
  if (pieces.size() > MAX_GATHER) {  // more than a response has: one by one
    for (std::string_view piece : pieces)
      if (!send_all(socket, piece)) return false;
    return true;
  }
  std::array<std::string_view, MAX_GATHER> left;
  std::size_t count = 0;
  for (std::string_view piece : pieces)
    if (!piece.empty()) left[count++] = piece;
  std::size_t first = 0;  // the first piece not wholly sent
  while (first < count) {
    IoResult sent = send_gathered(socket, std::span(left).subspan(first, count - first));
    if (sent.failed() || sent.bytes == 0) return false;
    for (std::size_t n = sent.bytes; n > 0;) {  // drop what went, whole pieces and a part
      std::size_t take = std::min(n, left[first].size());
      left[first].remove_prefix(take);
      n -= take;
      if (left[first].empty()) ++first;
    }
  }
  return true;
}

}  // namespace tavrik::platform
