#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::string unique_path(const char* tag) {
  static std::atomic<int> counter{0};
  return (std::filesystem::temp_directory_path() /
          ("tavrik-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + "-" + tag))
      .string();
}

std::string slurp(const std::string& path) {
  HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string data;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) data.append(buffer, n);
  CloseHandle(h);
  return data;
}

HANDLE inheritable_file(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     0, nullptr);
}

class Win32Child : public ChildProcess {
 public:
  Win32Child(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options)
      : out_path_(unique_path("out")), err_path_(unique_path("err")) {
    HANDLE in_read = nullptr;
    if (options.stdin_text) {
      in_path_ = unique_path("in");
      std::ofstream(in_path_, std::ios::binary) << *options.stdin_text;
      in_read = inheritable_file(in_path_, false);
    } else {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
      CreatePipe(&in_read, &stdin_pipe_, &sa, 0);
      SetHandleInformation(stdin_pipe_, HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE out = inheritable_file(out_path_, true);
    HANDLE err = inheritable_file(err_path_, true);
    std::wstring command = quote(wide(windows_path(program)));
    for (const auto& a : args) command += L" " + quote(wide(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring cwd = wide(windows_path(options.working_directory));
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.empty() ? nullptr : cwd.c_str(),
                       &si, &pi)) {
      process_ = pi.hProcess;
      CloseHandle(pi.hThread);
    }
    CloseHandle(in_read);
    CloseHandle(out);
    CloseHandle(err);
  }

  ~Win32Child() override {
    kill();
    if (stdin_pipe_) CloseHandle(stdin_pipe_);
    if (process_) CloseHandle(process_);
    std::error_code ec;
    std::filesystem::remove(out_path_, ec);
    std::filesystem::remove(err_path_, ec);
    if (!in_path_.empty()) std::filesystem::remove(in_path_, ec);
  }

  std::string out() override { return slurp(out_path_); }
  std::string err() override { return slurp(err_path_); }

  std::optional<int> wait(std::chrono::milliseconds limit) override {
    if (!process_) return 127;
    if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

  void kill() override {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 137);
      WaitForSingleObject(process_, 10000);
    }
  }

  int pid() const override { return process_ ? static_cast<int>(GetProcessId(process_)) : 0; }

  void send_line_and_close_stdin() override {
    if (!stdin_pipe_) return;
    DWORD n = 0;
    WriteFile(stdin_pipe_, "\n", 1, &n, nullptr);
    CloseHandle(stdin_pipe_);
    stdin_pipe_ = nullptr;
  }

 private:
  std::string out_path_, err_path_, in_path_;
  HANDLE process_ = nullptr;
  HANDLE stdin_pipe_ = nullptr;
};

}  // namespace

std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options) {
  return std::make_unique<Win32Child>(program, args, options);
}

void set_env(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
}
void unset_env(const std::string& name) { SetEnvironmentVariableW(wide(name).c_str(), nullptr); }
