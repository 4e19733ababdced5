// POSIX implementation of the platform layer (Linux; portable to macOS).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>

#include "platform/platform.h"
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace tavrik::platform {
namespace {

int as_fd(const Socket& socket) { return static_cast<int>(socket.native()); }

sockaddr_in to_sockaddr(Ipv4Address address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address.ip);
  sa.sin_port = htons(address.port);
  return sa;
}

Ipv4Address from_sockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

#if !defined(__linux__)
// Marks a descriptor close-on-exec where the socket call could not (macOS).
void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }
#endif

int new_socket(int type, int* error) {
#if defined(SOCK_CLOEXEC)
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_INET, type, 0);
  if (fd >= 0) set_cloexec(fd);
#endif
  if (fd < 0) *error = errno;
#if defined(SO_NOSIGPIPE)
  if (fd >= 0) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
  }
#endif
  return fd;
}

#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

bool set_timeout(const Socket& socket, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(as_fd(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

std::string error_text(int code) {
  char buffer[256] = "";
  const char* message = buffer;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  message = strerror_r(code, buffer, sizeof buffer);
#else
  if (strerror_r(code, buffer, sizeof buffer) != 0) buffer[0] = '\0';
#endif
  std::string text = (message && *message) ? message : "Unknown error";
  return text + " (os error " + std::to_string(code) + ")";
}

bool is_timeout(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == ETIMEDOUT; }

bool is_out_of_resources(int code) { return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM; }

std::optional<Ipv4Address> parse_ipv4(std::string_view text, std::uint16_t port) {
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

void Socket::close() {
  if (valid()) ::close(static_cast<int>(handle_));
  handle_ = INVALID;
}

Socket open_udp(Ipv4Address local, int* error) {
  int fd = new_socket(SOCK_DGRAM, error);
  if (fd < 0) return Socket();
  Socket socket(static_cast<std::uintptr_t>(fd));
  sockaddr_in sa = to_sockaddr(local);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = errno;
    return Socket();
  }
  return socket;
}

Socket open_tcp_listener(Ipv4Address local, int backlog, int* error) {
  int fd = new_socket(SOCK_STREAM, error);
  if (fd < 0) return Socket();
  Socket socket(static_cast<std::uintptr_t>(fd));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = to_sockaddr(local);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    *error = errno;
    return Socket();
  }
  return socket;
}

Socket accept_connection(const Socket& listener, int* error) {
#if defined(__linux__)
  int fd = accept4(as_fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
#else
  int fd = accept(as_fd(listener), nullptr, nullptr);
  if (fd >= 0) set_cloexec(fd);
#endif
  if (fd < 0) {
    *error = errno;
    return Socket();
  }
#if defined(SO_NOSIGPIPE)
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  return Socket(static_cast<std::uintptr_t>(fd));
}

Socket connect_tcp(Ipv4Address remote, int* error) {
  int fd = new_socket(SOCK_STREAM, error);
  if (fd < 0) return Socket();
  Socket socket(static_cast<std::uintptr_t>(fd));
  sockaddr_in sa = to_sockaddr(remote);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = errno;
    return Socket();
  }
  return socket;
}

std::optional<Ipv4Address> local_address(const Socket& socket) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(as_fd(socket), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return from_sockaddr(sa);
}

Socket duplicate_socket(const Socket& socket, int* error) {
  int fd = fcntl(as_fd(socket), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return Socket();
  }
  return Socket(static_cast<std::uintptr_t>(fd));
}

bool set_receive_timeout(const Socket& socket, int milliseconds) {
  return set_timeout(socket, SO_RCVTIMEO, milliseconds);
}

bool set_send_timeout(const Socket& socket, int milliseconds) { return set_timeout(socket, SO_SNDTIMEO, milliseconds); }

bool set_no_delay(const Socket& socket) {
  int one = 1;
  return setsockopt(as_fd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

IoResult receive(const Socket& socket, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = recv(as_fd(socket), buffer, size, 0);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno != EINTR) return {0, errno};
  }
}

bool send_all(const Socket& socket, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(as_fd(socket), p, size, SEND_FLAGS);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool send_all(const Socket& socket, std::span<const std::string_view> pieces) {
  iovec vec[16];
  if (pieces.size() > 16) {  // more than a response has: send one by one
    for (std::string_view piece : pieces)
      if (!send_all(socket, piece.data(), piece.size())) return false;
    return true;
  }
  std::size_t count = 0;
  for (std::string_view piece : pieces)
    if (!piece.empty()) vec[count++] = {const_cast<char*>(piece.data()), piece.size()};
  iovec* next = vec;
  while (count > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = count;
    ssize_t n = sendmsg(as_fd(socket), &message, SEND_FLAGS);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    auto sent = static_cast<std::size_t>(n);
    while (count > 0 && sent >= next->iov_len) {  // drop what went whole
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return true;
}

void shutdown_send(const Socket& socket) { shutdown(as_fd(socket), SHUT_WR); }

IoResult receive_from(const Socket& socket, void* buffer, std::size_t size, Ipv4Address* from) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
#if defined(MSG_TRUNC) && defined(__linux__)
  constexpr int flags = MSG_TRUNC;  // report the real length, so oversize is caught
#else
  constexpr int flags = 0;
#endif
  for (;;) {
    ssize_t n = recvfrom(as_fd(socket), buffer, size, flags, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {0, errno};
    if (static_cast<std::size_t>(n) > size) return {0, EMSGSIZE};
    if (from) *from = from_sockaddr(sa);
    return {static_cast<std::size_t>(n), 0};
  }
}

IoResult send_to(const Socket& socket, const void* data, std::size_t size, Ipv4Address to) {
  sockaddr_in sa = to_sockaddr(to);
  ssize_t n = sendto(as_fd(socket), data, size, SEND_FLAGS, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n < 0) return {0, errno};
  return {static_cast<std::size_t>(n), 0};
}

namespace {
void* thread_entry(void* arg) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(arg));
  (*body)();
  return nullptr;
}
}  // namespace

bool start_detached_thread(ThreadBody body, std::size_t stack_bytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_bytes != SYSTEM_STACK_SIZE)
    pthread_attr_setstacksize(&attr, std::max(stack_bytes, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
  auto* owned = new ThreadBody(std::move(body));
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, thread_entry, owned);
  pthread_attr_destroy(&attr);
  if (rc != 0) delete owned;
  return rc == 0;
}

void allow_late_wakeups(std::chrono::microseconds slack) {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack.count()) * 1000UL);
#else
  (void)slack;
#endif
}

void write_console(ConsoleStream stream, std::string_view text) {
  static std::mutex console_mutex;  // keeps lines from different threads whole
  std::lock_guard<std::mutex> lock(console_mutex);
  int fd = stream == ConsoleStream::out ? STDOUT_FILENO : STDERR_FILENO;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void wait_for_line_on_stdin() {
  char c;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') return;
  }
}

void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
#if defined(__APPLE__)
  if (limit.rlim_cur > OPEN_MAX) limit.rlim_cur = OPEN_MAX;
#endif
  setrlimit(RLIMIT_NOFILE, &limit);
}

void exit_process(int status) { _exit(status); }

std::vector<std::string> process_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> executable_path() {
#if defined(__APPLE__)
  char buffer[PATH_MAX];
  uint32_t size = sizeof buffer;
  if (_NSGetExecutablePath(buffer, &size) != 0) return std::nullopt;
  return std::string(buffer);
#else
  std::string buffer(PATH_MAX, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
#endif
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> parent_directory(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return path.substr(0, slash);
}

std::string join_path(const std::string& base, const std::string& component) {
  if (base.empty() || base.back() == '/') return base + component;
  return base + "/" + component;
}

std::vector<std::string> fixed_sdk_folders() { return {}; }

LibraryHandle load_library(const std::string& path) {
  // Without a slash dlopen would search the library path instead.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

SymbolAddress find_symbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<SymbolAddress>(dlsym(library, name));
}

}  // namespace tavrik::platform
