// What the program needs from the operating system, and nothing more.
// One implementation per system (platform_posix.cc, platform_win32.cc); CMake
// compiles one of them. No OS type appears here: handles are held as integers.
#pragma once

#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tavrik::platform {

// ---- Errors ---------------------------------------------------------------

// "<system message> (os error <code>)"; never an empty message.
std::string error_text(int code);

// True when `code` is the system's receive/send time-out error.
bool is_timeout(int code);

// True when `code` says the process or system ran out of sockets or memory,
// an error that repeats at once if the call is simply retried.
bool is_out_of_resources(int code);

// ---- Addresses ------------------------------------------------------------

// An IPv4 socket address; `ip` in host byte order (127.0.0.1 = 0x7F000001).
struct Ipv4Address {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
  bool operator==(const Ipv4Address&) const = default;
};

constexpr std::uint32_t LOOPBACK_IP = 0x7F000001;  // 127.0.0.1

// True for 127.0.0.0/8, this computer talking to itself.
constexpr bool is_loopback(std::uint32_t ip) { return (ip >> 24) == 127; }

// "a.b.c.d:port".
std::string format_address(Ipv4Address address);

// Parses a dotted-decimal IPv4 literal ("127.0.0.2"); nothing for other text.
std::optional<Ipv4Address> parse_ipv4(std::string_view text, std::uint16_t port);

// The first IPv4 address of `host` with `port`. IPv4 and IPv6 literals are
// taken without a lookup (an IPv6 literal thus gives nothing); other text goes
// to the system resolver. Nothing on failure or when no IPv4 address exists.
std::optional<Ipv4Address> resolve_ipv4(const std::string& host, std::uint16_t port);

// One IPv4 address of one of this computer's network interfaces.
struct InterfaceAddress {
  std::uint32_t ip = 0;       // host byte order
  bool up = false;            // the interface is up and running
  bool loopback = false;      // the interface is a loopback one
  std::uint32_t netmask = 0;  // host byte order; 0 when the system gives none
};

// The IPv4 addresses of every interface, in the system's order; empty when the
// system cannot list them.
std::vector<InterfaceAddress> interface_addresses();

// ---- Sockets --------------------------------------------------------------

// Owns one socket and closes it once. Move-only. Sockets are created
// non-inheritable.
class Socket {
 public:
  Socket() = default;
  explicit Socket(std::uintptr_t handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  bool valid() const { return handle_ != INVALID; }
  std::uintptr_t native() const { return handle_; }
  std::uintptr_t release();
  void close();

  static constexpr std::uintptr_t INVALID = ~std::uintptr_t{0};

 private:
  std::uintptr_t handle_ = INVALID;
};

// Outcome of one socket call. `error` is the OS code (0: success). For a
// receive, success with `bytes` 0 means end of data: an orderly close or a
// shutdown (Windows' WSAESHUTDOWN) alike.
struct IoResult {
  std::size_t bytes = 0;
  int error = 0;
  bool failed() const { return error != 0; }
};

// A UDP socket bound to `local`. On failure: invalid socket, *error set.
Socket open_udp(Ipv4Address local, int* error);

// A TCP socket bound to `local` and listening with `backlog`. On POSIX the
// address is reusable at once after a restart (old connections in TIME_WAIT)
// but a second live listener is still refused, as on Windows by default.
Socket open_tcp_listener(Ipv4Address local, int backlog, int* error);

// Waits for the next connection. On failure: invalid socket, *error set.
// `peer` (optional) receives the address the connection comes from.
Socket accept_connection(const Socket& listener, int* error, Ipv4Address* peer = nullptr);

// A connected TCP socket (used by tools and tests).
Socket connect_tcp(Ipv4Address remote, int* error);

// The address a socket is bound to (the real port after binding port 0).
std::optional<Ipv4Address> local_address(const Socket& socket);

// A second, non-inheritable handle for the same socket. Invalid on failure.
Socket duplicate_socket(const Socket& socket, int* error);

// Time-outs in milliseconds (0: none). Return false when the OS refuses.
bool set_receive_timeout(const Socket& socket, int milliseconds);
bool set_send_timeout(const Socket& socket, int milliseconds);
bool set_no_delay(const Socket& socket);
// Lets a UDP socket send to broadcast addresses.
bool set_broadcast(const Socket& socket);
// Asks for a receive buffer of `bytes` (the OS may cap it). False when refused.
bool set_receive_buffer(const Socket& socket, int bytes);

// One receive of at most `size` bytes; waits at most the receive time-out.
IoResult receive(const Socket& socket, void* buffer, std::size_t size);

// Sends every byte, repeating the call for any remainder. A call that accepts
// no byte, a time-out, or a peer that has gone all count as failure; never
// raises a signal.
bool send_all(const Socket& socket, const void* data, std::size_t size);
inline bool send_all(const Socket& socket, std::string_view text) { return send_all(socket, text.data(), text.size()); }

// Sends `pieces` in order as one gathered write, without joining them first;
// the same rules as send_all apply to the whole.
bool send_all(const Socket& socket, std::span<const std::string_view> pieces);

// Ends the sending direction (a half-close), for clients in tests and tools.
void shutdown_send(const Socket& socket);

// One datagram. A datagram larger than `size` is an error, not a truncation.
// `from` (optional) receives the sender's address.
IoResult receive_from(const Socket& socket, void* buffer, std::size_t size, Ipv4Address* from);

// One datagram to `to`. The whole datagram goes, or it is an error.
IoResult send_to(const Socket& socket, const void* data, std::size_t size, Ipv4Address to);

// ---- Ending from outside ---------------------------------------------------

// Datagrams for the process to send when the user ends it: closing its
// console window, Ctrl+C or Ctrl+Break (Windows); SIGINT, SIGTERM or SIGHUP
// (POSIX). Once arm_farewell has been called, the handler sends each of them
// to `to` on `socket` (one send each, nothing else), and the process then ends
// as it would have without the handler: killed by the same signal, or by the
// console's own handling. A signal the process ignores stays ignored. Call
// once, before arm_farewell; the socket must stay open for the whole run.
// With `group` above 0, the handler pauses FAREWELL_GAP_MS after every
// `group` datagrams, so that a long farewell does not overrun the receiver.
constexpr int FAREWELL_GAP_MS = 20;
void install_farewell(const Socket& socket, Ipv4Address to, const std::vector<std::string>& datagrams,
                      std::size_t group = 0);

// From now on the farewell goes out. Cheap, safe from any thread; without an
// installed farewell it does nothing.
void arm_farewell();

// True once the handler has begun to send the farewell: whoever sends on its
// socket sends nothing more, or a request could follow its cancellation. With
// `group` above 0 the handler waits FAREWELL_GAP_MS before its first datagram,
// so that a send already past this check goes out before it.
bool farewell_begun();

// ---- Randomness -------------------------------------------------------------

// Fills `buffer` with `size` bytes from the system's secure random source.
// False, with *error set, when the source fails; the bytes are then not random.
bool secure_random_bytes(void* buffer, std::size_t size, int* error);

// ---- Threads --------------------------------------------------------------

// The work of one thread: any callable taking no arguments, move-only ones
// included, so that a thread can own what it is given (a socket, say).
class ThreadBody {
 public:
  template <typename F>
  requires(!std::same_as<std::decay_t<F>, ThreadBody> && std::invocable<std::decay_t<F>&>) ThreadBody(F&& work)
      : work_(std::make_unique<Work<std::decay_t<F>>>(std::forward<F>(work))) {}

  void operator()() { work_->run(); }

 private:
  struct Runnable {
    virtual ~Runnable() = default;
    virtual void run() = 0;
  };
  template <typename F>
  struct Work : Runnable {
    explicit Work(F&& f) : f(std::move(f)) {}
    explicit Work(const F& f) : f(f) {}
    void run() override { f(); }
    F f;
  };
  std::unique_ptr<Runnable> work_;
};

// The system's default stack size, for threads that run code of others.
constexpr std::size_t SYSTEM_STACK_SIZE = 0;

// Starts `body` on a new detached thread with a stack of `stack_bytes`
// (SYSTEM_STACK_SIZE: the system's default). False when the thread cannot be
// started; then `body` is destroyed without running.
bool start_detached_thread(ThreadBody body, std::size_t stack_bytes);

// Lets the system wake the calling thread's sleeps up to `slack` late, so that
// the timers of many sleeping threads fire together (Linux timer slack;
// elsewhere nothing to do: Windows already groups timers on its tick).
void allow_late_wakeups(std::chrono::microseconds slack);

// ---- Console and process --------------------------------------------------

enum class ConsoleStream { out, err };

// Writes `text` (UTF-8, whole lines) at once: to a console as characters,
// to a file or pipe as the UTF-8 bytes unchanged. Safe from any thread.
void write_console(ConsoleStream stream, std::string_view text);

// Reads and discards one line of standard input; returns at end of input or
// on an error as well.
void wait_for_line_on_stdin();

// Raises the limit of open files to the most the system allows (POSIX systems
// start programs with a low soft limit; Windows has none to raise).
void raise_open_file_limit();

// Ends the process at once with `status`.
[[noreturn]] void exit_process(int status);

// The arguments after the program's name, as UTF-8. On Windows they come from
// the command line itself, split by the system's quoting rules.
std::vector<std::string> process_arguments(int argc, char** argv);

// The value of an environment variable, as UTF-8; nothing when it is not set
// (an empty value is a value).
std::optional<std::string> environment_variable(const char* name);

// The full path of the running executable, as UTF-8.
std::optional<std::string> executable_path();

// ---- Files and libraries --------------------------------------------------

// True when `path` names a regular file (symbolic links followed).
bool is_regular_file(const std::string& path);

// The folder part of `path`, without the trailing separator; nothing when the
// path has no folder part.
std::optional<std::string> parent_directory(const std::string& path);

// `base` and `component` joined with the system's separator, which is left
// out when `base` is empty or already ends in a separator (or, on Windows,
// is a bare drive such as "C:").
std::string join_path(const std::string& base, const std::string& component);

// Folders where a system-wide SDK install may sit (on Windows "C:\MSFS SDK"
// and "C:\MSFS 2024 SDK"; none elsewhere).
std::vector<std::string> fixed_sdk_folders();

// Why a library could not be used, in kinds that say what the user can do.
enum class LoadFailure {
  missing_dependency,   // a library it needs is not there
  wrong_architecture,   // a library, but for another processor or word size
  not_a_library,        // not a library file at all
  missing_entry_point,  // loaded, but a name asked for is not in it
  other,
};

struct LoadError {
  LoadFailure kind = LoadFailure::other;
  // The system's own words: on Windows "<message> (os error <code>)" as in
  // error_text, elsewhere the dynamic loader's text.
  std::string os_text;
};

// A loaded shared library, never unloaded. Null handle: not loaded. A
// relative path is taken against the current directory, as by the file tests.
using LibraryHandle = void*;
using SymbolAddress = void (*)();

struct LibraryLoad {
  LibraryHandle library = nullptr;
  LoadError error;  // why not, when `library` is null
};

LibraryLoad load_library(const std::string& path);

// The address of `name`; null when it is missing, with the system's words for
// that in *os_text (when given).
SymbolAddress find_symbol(LibraryHandle library, const char* name, std::string* os_text = nullptr);

}  // namespace tavrik::platform
