// Inside the platform layer only: the system's socket headers, and the few
// socket calls whose form differs by system. platform_sockets.cc writes the
// socket code both systems share on top of them; platform_posix.cc and
// platform_win32.cc each define them for their system.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // libstdc++ may have defined it already
#endif
// Winsock must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace tavrik::platform {

#if defined(_WIN32)
using NativeSocket = SOCKET;
using SocketLength = int;
#else
using NativeSocket = int;
using SocketLength = socklen_t;
#endif

inline NativeSocket native_of(const Socket& socket) { return static_cast<NativeSocket>(socket.native()); }

sockaddr_in to_sockaddr(Ipv4Address address);
Ipv4Address from_sockaddr(const sockaddr_in& sa);

// What the farewell sends, built before the handler is installed and never
// changed or freed after: the handler only reads it.
struct Farewell {
  NativeSocket socket;
  sockaddr_in to;
  std::vector<std::string> datagrams;
  std::size_t group = 0;  // datagrams between pauses; 0: no pause
};

// The installed farewell once it is armed, else null. Safe in a signal handler.
const Farewell* armed_farewell();
// The same, and from a non-null answer on, farewell_begun() is true. Safe in
// a signal handler.
const Farewell* begin_farewell();

// ---- Defined per system -----------------------------------------------------

// Installs the handler for the user's ending of the process, which sends the
// armed farewell (if any) and lets the process end as it would have.
void install_ending_handler();

// Sends each datagram of the armed farewell, if any, with one sendto each.
// Async-signal-safe; keeps the thread's error code.
void send_farewell();

// Readies the socket library; before the first socket call of any thread.
void start_sockets();

// The error code of this thread's last failed socket call.
int last_socket_error();

// A new IPv4 socket of `type` (SOCK_DGRAM or SOCK_STREAM), non-inheritable,
// whose sends never raise a signal. On failure: invalid socket, *error set.
Socket new_socket(int type, int* error);

// Prepares a TCP socket for bind and listen: a restarted bridge can take its
// port back at once, while a second live listener is still refused.
void prepare_listener(const Socket& socket);

// Sets `option` (SO_RCVTIMEO or SO_SNDTIMEO) to `milliseconds`; 0: none.
bool set_timeout(const Socket& socket, int option, int milliseconds);

// One gathered send call of at most MAX_GATHER pieces, none empty; it may
// send less than all. Retried when a signal interrupts it.
constexpr std::size_t MAX_GATHER = 16;
IoResult send_gathered(const Socket& socket, std::span<const std::string_view> pieces);

}  // namespace tavrik::platform
