// Win32 implementation of the platform layer (Winsock 2.2, KERNEL32).
// The socket headers come first: Winsock must come before windows.h.
// clang-format off
#include "platform/socket_calls.h"
#include <windows.h>
#include <bcrypt.h>
#include <iphlpapi.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>

namespace tavrik::platform {
namespace {

std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// Unpaired surrogates become U+FFFD, as WideCharToMultiByte does by default.
std::string to_utf8(const wchar_t* text, int length) {
  if (length == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

// Texts for Winsock codes, for systems (Wine) whose message table lacks them.
const char* winsock_fallback_text(int code) {
  switch (code) {
    case WSAEINTR:
      return "A blocking operation was interrupted.";
    case WSAEACCES:
      return "An attempt was made to access a socket in a way forbidden by its access permissions.";
    case WSAEINVAL:
      return "An invalid argument was supplied.";
    case WSAEMFILE:
      return "Too many open sockets.";
    case WSAEWOULDBLOCK:
      return "A non-blocking socket operation could not be completed immediately.";
    case WSAEMSGSIZE:
      return "A message sent on a datagram socket was larger than the internal message buffer or some other network "
             "limit, or the buffer used to receive a datagram into was smaller than the datagram itself.";
    case WSAEADDRINUSE:
      return "Only one usage of each socket address (protocol/network address/port) is normally permitted.";
    case WSAEADDRNOTAVAIL:
      return "The requested address is not valid in its context.";
    case WSAENETDOWN:
      return "A socket operation encountered a dead network.";
    case WSAENETUNREACH:
      return "A socket operation was attempted to an unreachable network.";
    case WSAECONNABORTED:
      return "An established connection was aborted by the software in your host machine.";
    case WSAECONNRESET:
      return "An existing connection was forcibly closed by the remote host.";
    case WSAENOBUFS:
      return "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
             "because a queue was full.";
    case WSAESHUTDOWN:
      return "A request to send or receive data was disallowed because the socket had already been shut down in that "
             "direction with a previous shutdown call.";
    case WSAETIMEDOUT:
      return "A connection attempt failed because the connected party did not properly respond after a period of time, "
             "or established connection failed because connected host has failed to respond.";
    case WSAECONNREFUSED:
      return "No connection could be made because the target machine actively refused it.";
    case WSAEHOSTUNREACH:
      return "A socket operation was attempted to an unreachable host.";
    case WSANOTINITIALISED:
      return "Either the application has not called WSAStartup, or WSAStartup failed.";
    default:
      return nullptr;
  }
}

}  // namespace

std::string error_text(int code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer) text = to_utf8(buffer, static_cast<int>(n));
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) {
    const char* fallback = winsock_fallback_text(code);
    text = fallback ? fallback : "Unknown error";
  }
  return text + " (os error " + std::to_string(code) + ")";
}

bool is_timeout(int code) { return code == WSAETIMEDOUT || code == WSAEWOULDBLOCK; }

bool is_out_of_resources(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

void start_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

int last_socket_error() { return WSAGetLastError(); }

Socket new_socket(int type, int* error) {
  start_sockets();
  int protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) *error = WSAGetLastError();
  return s == INVALID_SOCKET ? Socket() : Socket(static_cast<std::uintptr_t>(s));
}

// No SO_REUSEADDR: on Windows it would let a second copy take the port, and
// the default already ignores old connections in TIME_WAIT.
void prepare_listener(const Socket&) {}

bool set_timeout(const Socket& socket, int option, int milliseconds) {
  DWORD ms = static_cast<DWORD>(milliseconds);  // Winsock takes milliseconds, not a timeval
  return setsockopt(native_of(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

IoResult send_gathered(const Socket& socket, std::span<const std::string_view> pieces) {
  WSABUF parts[MAX_GATHER];
  for (std::size_t i = 0; i < pieces.size(); ++i)  // a piece beyond 4 GiB goes in parts
    parts[i] = {static_cast<ULONG>(std::min<std::size_t>(pieces[i].size(), ULONG_MAX)),
                const_cast<char*>(pieces[i].data())};
  DWORD sent = 0;
  if (WSASend(native_of(socket), parts, static_cast<DWORD>(pieces.size()), &sent, 0, nullptr, nullptr) != 0)
    return {0, WSAGetLastError()};
  return {sent, 0};
}

void Socket::close() {
  if (valid()) closesocket(static_cast<SOCKET>(handle_));
  handle_ = INVALID;
}

Socket accept_connection(const Socket& listener, int* error, Ipv4Address* peer) {
  sockaddr_in sa{};
  int len = sizeof sa;
  SOCKET s = accept(native_of(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return Socket();
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (peer) *peer = from_sockaddr(sa);
  return Socket(static_cast<std::uintptr_t>(s));
}

std::vector<InterfaceAddress> interface_addresses() {
  std::vector<InterfaceAddress> found;
  constexpr ULONG FLAGS = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {  // the list may grow meanwhile
    buffer.resize(size);
    rc = GetAdaptersAddresses(AF_INET, FLAGS, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc != NO_ERROR) return found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
    for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
      if (!unicast->Address.lpSockaddr || unicast->Address.lpSockaddr->sa_family != AF_INET) continue;
      sockaddr_in sa{};
      std::memcpy(&sa, unicast->Address.lpSockaddr, sizeof sa);
      ULONG prefix = unicast->OnLinkPrefixLength;
      std::uint32_t netmask = prefix == 0 || prefix > 32 ? 0 : ~std::uint32_t{0} << (32 - prefix);
      found.push_back({from_sockaddr(sa).ip, adapter->OperStatus == IfOperStatusUp,
                       adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK, netmask});
    }
  }
  return found;
}

bool secure_random_bytes(void* buffer, std::size_t size, int* error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, ULONG_MAX));
    NTSTATUS status = BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
      *error = static_cast<int>(status);
      return false;
    }
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

Socket duplicate_socket(const Socket& socket, int* error) {
  WSAPROTOCOL_INFOW info{};
  if (WSADuplicateSocketW(native_of(socket), GetCurrentProcessId(), &info) != 0) {
    *error = WSAGetLastError();
    return Socket();
  }
  SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return Socket();
  }
  return Socket(static_cast<std::uintptr_t>(s));
}

bool set_broadcast(const Socket& socket) {
  BOOL one = TRUE;
  return setsockopt(native_of(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool set_no_delay(const Socket& socket) {
  BOOL one = TRUE;
  return setsockopt(native_of(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

IoResult receive(const Socket& socket, void* buffer, std::size_t size) {
  int cap = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  int n = recv(native_of(socket), static_cast<char*>(buffer), cap, 0);
  if (n >= 0) return {static_cast<std::size_t>(n), 0};
  int code = WSAGetLastError();
  if (code == WSAESHUTDOWN) return {0, 0};  // after a shutdown: end of data
  return {0, code};
}

void shutdown_send(const Socket& socket) { shutdown(native_of(socket), SD_SEND); }

IoResult receive_from(const Socket& socket, void* buffer, std::size_t size, Ipv4Address* from) {
  sockaddr_in sa{};
  int len = sizeof sa;
  int cap = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  int n = recvfrom(native_of(socket), static_cast<char*>(buffer), cap, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return {0, WSAGetLastError()};  // WSAEMSGSIZE for an oversize datagram
  if (from) *from = from_sockaddr(sa);
  return {static_cast<std::size_t>(n), 0};
}

IoResult send_to(const Socket& socket, const void* data, std::size_t size, Ipv4Address to) {
  sockaddr_in sa = to_sockaddr(to);
  int n = sendto(native_of(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                 reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n < 0) return {0, WSAGetLastError()};
  return {static_cast<std::size_t>(n), 0};
}

void send_farewell() {
  const Farewell* farewell = begin_farewell();
  if (!farewell) return;
  int saved = WSAGetLastError();
  for (std::size_t i = 0; i < farewell->datagrams.size(); ++i) {
    if (farewell->group && i % farewell->group == 0) Sleep(FAREWELL_GAP_MS);
    const std::string& datagram = farewell->datagrams[i];
    sendto(farewell->socket, datagram.data(), static_cast<int>(datagram.size()), 0,
           reinterpret_cast<const sockaddr*>(&farewell->to), sizeof farewell->to);
  }
  WSASetLastError(saved);
}

namespace {

// Runs on a thread the system starts for the event. FALSE passes the event
// on, so the console's own handling ends the process as without this handler.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) send_farewell();
  return FALSE;
}

}  // namespace

void install_ending_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

namespace {
DWORD WINAPI thread_entry(LPVOID arg) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(arg));
  (*body)();
  return 0;
}
}  // namespace

bool start_detached_thread(ThreadBody body, std::size_t stack_bytes) {
  auto* owned = new ThreadBody(std::move(body));
  // A size of 0 (SYSTEM_STACK_SIZE) reserves the executable's default.
  HANDLE thread = CreateThread(nullptr, stack_bytes, thread_entry, owned, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    delete owned;
    return false;
  }
  CloseHandle(thread);
  return true;
}

void allow_late_wakeups(std::chrono::microseconds) {}

void write_console(ConsoleStream stream, std::string_view text) {
  static std::mutex console_mutex;  // keeps lines from different threads whole
  std::lock_guard<std::mutex> lock(console_mutex);
  HANDLE handle = GetStdHandle(stream == ConsoleStream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode;
  if (GetConsoleMode(handle, &mode)) {
    // A console decodes bytes in its own code page: hand it characters.
    std::wstring wide = to_wide(text);
    DWORD written;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, p, static_cast<DWORD>(left), &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

void wait_for_line_on_stdin() {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  char c;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle, &c, 1, &n, nullptr) || n == 0 || c == '\n') return;
  }
}

void raise_open_file_limit() {}

void exit_process(int status) { ExitProcess(static_cast<UINT>(status)); }

std::vector<std::string> process_arguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!list) return args;
  for (int i = 1; i < count; ++i) args.push_back(to_utf8(list[i], static_cast<int>(wcslen(list[i]))));
  LocalFree(list);
  return args;
}

std::optional<std::string> environment_variable(const char* name) {
  std::wstring wide_name = to_wide(name);
  DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (n == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(n, L'\0');
  DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), n);
  if (got >= n) return std::nullopt;
  return to_utf8(value.data(), static_cast<int>(got));
}

std::optional<std::string> executable_path() {
  std::wstring buffer(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return std::nullopt;
  return to_utf8(buffer.data(), static_cast<int>(n));
}

bool is_regular_file(const std::string& path) {
  DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> parent_directory(const std::string& path) {
  std::size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return std::nullopt;
  if (sep == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\x" → "C:\"
  return path.substr(0, sep);
}

std::string join_path(const std::string& base, const std::string& component) {
  bool bare_drive = base.size() == 2 && base[1] == ':';
  if (base.empty() || base.back() == '\\' || base.back() == '/' || bare_drive) return base + component;
  return base + "\\" + component;
}

std::vector<std::string> fixed_sdk_folders() { return {"C:\\MSFS SDK", "C:\\MSFS 2024 SDK"}; }

namespace {

LoadFailure load_failure_kind(DWORD code) {
  switch (code) {
    case ERROR_MOD_NOT_FOUND:  // the file is there (tested before), so a DLL it imports is not
      return LoadFailure::missing_dependency;
    case ERROR_BAD_EXE_FORMAT:  // 32-bit DLLs and files that are no DLL alike
      return LoadFailure::wrong_architecture;
    default:
      return LoadFailure::other;
  }
}

// Some loader messages hold an insert for the file ("%1 is not a valid Win32
// application."); it is filled with the file's name rather than shown raw.
LoadError load_error(DWORD code, const std::wstring& file) {
  std::string text = error_text(static_cast<int>(code));
  std::wstring::size_type slash = file.find_last_of(L"\\/");
  std::wstring base = slash == std::wstring::npos ? file : file.substr(slash + 1);
  std::string name = to_utf8(base.data(), static_cast<int>(base.size()));
  for (std::string::size_type at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + name.size()))
    text.replace(at, 2, name);
  return {load_failure_kind(code), text};
}

}  // namespace

LibraryLoad load_library(const std::string& path) {
  // LoadLibraryW looks for a relative path in the executable's folder and the
  // system folders first; make it absolute so it means the current directory.
  std::wstring wide = to_wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {nullptr, load_error(GetLastError(), wide)};
  std::wstring full(n, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) return {nullptr, load_error(got == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE, wide)};
  full.resize(got);
  // No loader dialog about a missing DLL: it would hold this thread until
  // someone clicks it, and the caller reports the error itself.
  DWORD old_mode = 0;
  BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_mode);
  HMODULE module = LoadLibraryW(full.c_str());
  DWORD code = module ? ERROR_SUCCESS : GetLastError();
  if (quiet) SetThreadErrorMode(old_mode, nullptr);
  if (!module) return {nullptr, load_error(code, full)};
  return {reinterpret_cast<LibraryHandle>(module), {}};
}

SymbolAddress find_symbol(LibraryHandle library, const char* name, std::string* os_text) {
  // Through void(*)() so that no compiler warns about the function-type cast.
  auto address = reinterpret_cast<SymbolAddress>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
  if (!address && os_text) *os_text = error_text(static_cast<int>(GetLastError()));
  return address;
}

}  // namespace tavrik::platform
