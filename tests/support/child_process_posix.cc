#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"

namespace {

std::string unique_path(const char* tag) {
  static std::atomic<int> counter{0};
  return (std::filesystem::temp_directory_path() /
          ("tavrik-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + tag))
      .string();
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

class PosixChild : public ChildProcess {
 public:
  PosixChild(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options)
      : out_path_(unique_path("out")), err_path_(unique_path("err")) {
    std::string in_path;
    int pipe_fds[2] = {-1, -1};
    if (options.stdin_text) {
      in_path = unique_path("in");
      std::ofstream(in_path, std::ios::binary) << *options.stdin_text;
    } else if (pipe(pipe_fds) != 0) {
      abort();
    }
    pid_ = fork();
    if (pid_ == 0) {
      int in = options.stdin_text ? open(in_path.c_str(), O_RDONLY) : pipe_fds[0];
      dup2(in, 0);
      dup2(open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(127);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    if (pipe_fds[0] >= 0) close(pipe_fds[0]);
    stdin_pipe_ = pipe_fds[1];
    if (!in_path.empty()) unlink_later_.push_back(in_path);
  }

  ~PosixChild() override {
    kill();
    if (stdin_pipe_ >= 0) close(stdin_pipe_);
    std::filesystem::remove(out_path_);
    std::filesystem::remove(err_path_);
    for (const auto& p : unlink_later_) std::filesystem::remove(p);
  }

  std::string out() override { return slurp(out_path_); }
  std::string err() override { return slurp(err_path_); }

  std::optional<int> wait(std::chrono::milliseconds limit) override {
    if (status_) return status_;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (std::chrono::steady_clock::now() > end) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void kill() override {
    if (status_ || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }

  int pid() const override { return pid_ > 0 ? static_cast<int>(pid_) : 0; }

  void send_line_and_close_stdin() override {
    if (stdin_pipe_ < 0) return;
    [[maybe_unused]] auto n = write(stdin_pipe_, "\n", 1);
    close(stdin_pipe_);
    stdin_pipe_ = -1;
  }

 private:
  std::string out_path_, err_path_;
  std::vector<std::string> unlink_later_;
  pid_t pid_ = -1;
  int stdin_pipe_ = -1;
  std::optional<int> status_;
};

}  // namespace

std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options) {
  return std::make_unique<PosixChild>(program, args, options);
}

void set_env(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void unset_env(const std::string& name) { unsetenv(name.c_str()); }
