#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"

namespace {

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Under Wine a build path is a Unix path; drive Z: maps the Unix root.
std::string windows_path(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Quotes one argument by the rules CommandLineToArgvW undoes.
std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

// A handle the child inherits; created non-inheritable, so that no other
// child started meanwhile takes it, and made inheritable just for this one.
HANDLE for_child(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

HANDLE open_file(const std::string& path, bool write) {
  return CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

// Only the three standard handles go to the child (an explicit handle list),
// so it holds no pipe end of ours: closing its stdin pipe is its end of input.
class Win32Child : public ChildProcess {
 public:
  Win32Child(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options)
      : ChildProcess(program, args) {
    HANDLE in_read = nullptr;
    if (options.stdin_text) {
      in_path_ = out_path_ + ".in";
      std::ofstream(in_path_, std::ios::binary) << *options.stdin_text;
      in_read = open_file(in_path_, false);
    } else if (!CreatePipe(&in_read, &stdin_pipe_, nullptr, 0)) {
      in_read = stdin_pipe_ = nullptr;
    }
    HANDLE handles[] = {for_child(in_read), for_child(open_file(out_path_, true)),
                        for_child(open_file(err_path_, true))};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list_memory(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    InitializeProcThreadAttributeList(list, 1, 0, &size);
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr, nullptr);

    std::wstring command = quote(wide(windows_path(program)));
    for (const auto& a : args) command += L" " + quote(wide(a));
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = handles[0];
    si.StartupInfo.hStdOutput = handles[1];
    si.StartupInfo.hStdError = handles[2];
    si.lpAttributeList = list;
    PROCESS_INFORMATION pi{};
    std::wstring cwd = wide(windows_path(options.working_directory));
    DWORD flags = EXTENDED_STARTUPINFO_PRESENT | (options.own_console ? CREATE_NEW_CONSOLE : 0);
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                       cwd.empty() ? nullptr : cwd.c_str(), &si.StartupInfo, &pi)) {
      process_ = pi.hProcess;
      CloseHandle(pi.hThread);
    }
    DeleteProcThreadAttributeList(list);
    for (HANDLE h : handles)
      if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }

  ~Win32Child() override {
    kill();
    check_no_sanitizer_report();
    if (stdin_pipe_) CloseHandle(stdin_pipe_);
    if (process_) CloseHandle(process_);
    std::error_code ec;
    if (!in_path_.empty()) std::filesystem::remove(in_path_, ec);
  }

  std::optional<int> wait(std::chrono::milliseconds limit) override {
    if (!process_) return 127;
    if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    check_no_sanitizer_report();
    return static_cast<int>(code);
  }

  void kill() override {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 137);
      WaitForSingleObject(process_, 10000);
    }
  }

  // Ctrl+C or Ctrl+Break in the child's own console (see ChildOptions::own_console):
  // this process joins that console for the moment, ignoring the event itself.
  // Closing the window has no counterpart here.
  bool end_as_user(Ending how) override {
    if (!process_ || how == Ending::close_window) return false;
    FreeConsole();
    if (!AttachConsole(GetProcessId(process_))) return false;
    SetConsoleCtrlHandler(nullptr, TRUE);
    BOOL sent = GenerateConsoleCtrlEvent(how == Ending::interrupt ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
    Sleep(500);  // the event reaches this process too, while it still ignores it
    FreeConsole();
    SetConsoleCtrlHandler(nullptr, FALSE);
    return sent != FALSE;
  }

  int pid() const override { return process_ ? static_cast<int>(GetProcessId(process_)) : 0; }

  void close_stdin(std::string_view text) override {
    if (!stdin_pipe_) return;
    DWORD n = 0;
    if (!text.empty()) WriteFile(stdin_pipe_, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(stdin_pipe_);
    stdin_pipe_ = nullptr;
  }

 private:
  std::string in_path_;
  HANDLE process_ = nullptr;
  HANDLE stdin_pipe_ = nullptr;
};

}  // namespace

// The console's own handling of the event ends the process with STATUS_CONTROL_C_EXIT.
int ChildProcess::status_after(Ending) { return static_cast<int>(0xC000013AU); }

std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options) {
  return std::make_unique<Win32Child>(program, args, options);
}

void set_env(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
}
void unset_env(const std::string& name) { SetEnvironmentVariableW(wide(name).c_str(), nullptr); }
