// POSIX implementation of the platform layer. Built and tested on Linux; where
// a call is Linux's own (accept4, timer slack, /proc/self/exe) a branch for
// other POSIX systems such as macOS stands beside it.
#include <dlfcn.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/socket_calls.h"

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/random.h>
#endif
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace tavrik::platform {
namespace {

#if !defined(__linux__)
// Marks a descriptor close-on-exec where the socket call could not (macOS).
void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }
#endif

// A send to a peer that has gone must not raise SIGPIPE: Linux refuses it per
// send (MSG_NOSIGNAL), macOS per socket (SO_NOSIGPIPE).
#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

void refuse_sigpipe([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

// Owns the descriptor a socket call just returned; on its failure, reports errno.
Socket adopt(int fd, int* error) {
  if (fd < 0) {
    *error = errno;
    return Socket();
  }
  refuse_sigpipe(fd);
  return Socket(static_cast<std::uintptr_t>(fd));
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

void start_sockets() {}

int last_socket_error() { return errno; }

Socket new_socket(int type, int* error) {
#if defined(SOCK_CLOEXEC)
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_INET, type, 0);
  if (fd >= 0) set_cloexec(fd);
#endif
  return adopt(fd, error);
}

// Without SO_REUSEADDR a restart fails while old connections sit in TIME_WAIT;
// with it, a second live listener is still refused, as on Windows by default.
void prepare_listener(const Socket& socket) {
  int one = 1;
  setsockopt(native_of(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool set_timeout(const Socket& socket, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(native_of(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

IoResult send_gathered(const Socket& socket, std::span<const std::string_view> pieces) {
  iovec parts[MAX_GATHER];
  for (std::size_t i = 0; i < pieces.size(); ++i) parts[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = pieces.size();
  for (;;) {
    ssize_t n = sendmsg(native_of(socket), &message, SEND_FLAGS);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno != EINTR) return {0, errno};
  }
}

void Socket::close() {
  if (valid()) ::close(static_cast<int>(handle_));
  handle_ = INVALID;
}

Socket accept_connection(const Socket& listener, int* error, Ipv4Address* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
#if defined(__linux__)
  int fd = accept4(native_of(listener), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
#else
  int fd = accept(native_of(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (fd >= 0) set_cloexec(fd);
#endif
  if (fd >= 0 && peer) *peer = from_sockaddr(sa);
  return adopt(fd, error);
}

std::vector<InterfaceAddress> interface_addresses() {
  std::vector<InterfaceAddress> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in sa{};
    std::memcpy(&sa, entry->ifa_addr, sizeof sa);
    bool up = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
    std::uint32_t netmask = 0;
    if (entry->ifa_netmask && entry->ifa_netmask->sa_family == AF_INET) {
      sockaddr_in mask{};
      std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
      netmask = ntohl(mask.sin_addr.s_addr);
    }
    found.push_back({from_sockaddr(sa).ip, up, (entry->ifa_flags & IFF_LOOPBACK) != 0, netmask});
  }
  freeifaddrs(list);
  return found;
}

bool secure_random_bytes(void* buffer, std::size_t size, int* error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
#if defined(__linux__)
  // getrandom blocks only until the kernel's pool is first seeded, at boot.
  while (size > 0) {
    ssize_t n = getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // ENOSYS on an old kernel: /dev/urandom below
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  if (size == 0) return true;
#endif
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  while (size > 0) {
    ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      ::close(fd);
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

Socket duplicate_socket(const Socket& socket, int* error) {
  return adopt(fcntl(native_of(socket), F_DUPFD_CLOEXEC, 0), error);
}

bool set_broadcast(const Socket& socket) {
  int one = 1;
  return setsockopt(native_of(socket), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

bool set_no_delay(const Socket& socket) {
  int one = 1;
  return setsockopt(native_of(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

IoResult receive(const Socket& socket, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = recv(native_of(socket), buffer, size, 0);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno != EINTR) return {0, errno};
  }
}

void shutdown_send(const Socket& socket) { shutdown(native_of(socket), SHUT_WR); }

IoResult receive_from(const Socket& socket, void* buffer, std::size_t size, Ipv4Address* from) {
  // One spare byte past the caller's buffer: a datagram that reaches it is
  // too large. Unlike Linux's MSG_TRUNC, this works on every POSIX system.
  char spare;
  iovec parts[2] = {{buffer, size}, {&spare, 1}};
  sockaddr_in sa{};
  msghdr message{};
  message.msg_name = &sa;
  message.msg_namelen = sizeof sa;
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  for (;;) {
    ssize_t n = recvmsg(native_of(socket), &message, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {0, errno};
    if (static_cast<std::size_t>(n) > size) return {0, EMSGSIZE};
    if (from) *from = from_sockaddr(sa);
    return {static_cast<std::size_t>(n), 0};
  }
}

IoResult send_to(const Socket& socket, const void* data, std::size_t size, Ipv4Address to) {
  sockaddr_in sa = to_sockaddr(to);
  ssize_t n = sendto(native_of(socket), data, size, SEND_FLAGS, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n < 0) return {0, errno};
  return {static_cast<std::size_t>(n), 0};
}

void send_farewell() {
  const Farewell* farewell = begin_farewell();
  if (!farewell) return;
  int saved = errno;
  for (std::size_t i = 0; i < farewell->datagrams.size(); ++i) {
    if (farewell->group && i % farewell->group == 0) {
      struct timespec gap {
        0, FAREWELL_GAP_MS * 1000000L
      };
      nanosleep(&gap, nullptr);  // async-signal-safe
    }
    const std::string& datagram = farewell->datagrams[i];
    sendto(farewell->socket, datagram.data(), datagram.size(), SEND_FLAGS,
           reinterpret_cast<const sockaddr*>(&farewell->to), sizeof farewell->to);
  }
  errno = saved;
}

namespace {

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Says goodbye, then dies of the same signal: the default action, now that
// the handler is gone, takes effect once the handler returns.
extern "C" void on_ending_signal(int signal_number) {
  send_farewell();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

void install_ending_handler() {
  struct sigaction action {};
  action.sa_handler = on_ending_signal;
  sigemptyset(&action.sa_mask);
  for (int blocked : ENDING_SIGNALS) sigaddset(&action.sa_mask, blocked);  // one farewell, not two
  for (int ending : ENDING_SIGNALS) {
    struct sigaction old {};
    if (sigaction(ending, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;  // ignored stays ignored
    sigaction(ending, &action, nullptr);
  }
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

namespace {

// The first bytes of a file, up to the end of an ELF header's identification
// and machine fields; nothing when it cannot be read.
constexpr std::size_t ELF_HEAD_SIZE = 20;

std::optional<std::string> read_head(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return std::nullopt;
  char head[ELF_HEAD_SIZE];
  std::size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  return std::string(head, got);
}

bool is_elf(const std::string& head) { return head.size() == ELF_HEAD_SIZE && head.compare(0, 4, "\177ELF") == 0; }

// The loader's text names no kind, so the file is judged by its header
// against this program's own (where that is ELF, as on Linux); what remains
// is about another library when the text begins with another name than the
// file's. A file that cannot be read is left to the loader's words.
LoadFailure classify_load_failure(const std::string& file, const std::string& loader_text) {
  std::optional<std::string> own = read_head("/proc/self/exe");
  std::optional<std::string> head = read_head(file.c_str());
  if (!own || !is_elf(*own) || !head) return LoadFailure::other;
  if (!is_elf(*head)) return LoadFailure::not_a_library;
  constexpr std::size_t CLASS = 4, DATA = 5, MACHINE = 18;
  if ((*head)[CLASS] != (*own)[CLASS] || (*head)[DATA] != (*own)[DATA] ||
      head->compare(MACHINE, 2, *own, MACHINE, 2) != 0)
    return LoadFailure::wrong_architecture;
  if (loader_text.rfind(file + ":", 0) != 0) return LoadFailure::missing_dependency;
  return LoadFailure::other;
}

std::string loader_error_text() {
  const char* text = dlerror();
  return text && *text ? text : "unknown dynamic loader error";
}

}  // namespace

LibraryLoad load_library(const std::string& path) {
  // Without a slash dlopen would search the library path instead.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  LibraryLoad load;
  load.library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!load.library) {
    load.error.os_text = loader_error_text();
    load.error.kind = classify_load_failure(file, load.error.os_text);
  }
  return load;
}

SymbolAddress find_symbol(LibraryHandle library, const char* name, std::string* os_text) {
  dlerror();  // clears an older error, so that the text is this call's
  auto address = reinterpret_cast<SymbolAddress>(dlsym(library, name));
  if (!address && os_text) *os_text = loader_error_text();
  return address;
}

}  // namespace tavrik::platform
