#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"

extern char** environ;

namespace {

int signal_of(ChildProcess::Ending how) {
  switch (how) {
    case ChildProcess::Ending::interrupt:
      return SIGINT;
    case ChildProcess::Ending::terminate:
      return SIGTERM;
    case ChildProcess::Ending::close_window:
      return SIGHUP;
  }
  return SIGKILL;
}

// posix_spawn does all its work between fork and exec itself (no allocation,
// async-signal-safe calls only). Every descriptor of ours is close-on-exec, so
// the child holds its three streams and nothing else: in particular not the
// write end of its own stdin pipe, nor that of a sibling.
class PosixChild : public ChildProcess {
 public:
  PosixChild(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options)
      : ChildProcess(program, args) {
    // A write to a child's stdin after it has gone must fail, not kill the
    // test; the child gets the default action back below.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdin_text) {
      in_path_ = out_path_ + ".in";
      std::ofstream(in_path_, std::ios::binary) << *options.stdin_text;
      posix_spawn_file_actions_addopen(&actions, 0, in_path_.c_str(), O_RDONLY, 0);
    } else if (pipe2(in_pipe, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);  // dup2 clears close-on-exec on 0
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.working_directory.empty())
      posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, pipe_signal;
    sigemptyset(&none);
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) == 0)
      pid_ = pid;
    else
      status_ = 127;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    stdin_pipe_ = in_pipe[1];
  }

  ~PosixChild() override {
    kill();
    check_no_sanitizer_report();
    if (stdin_pipe_ >= 0) close(stdin_pipe_);
    if (!in_path_.empty()) std::filesystem::remove(in_path_);
  }

  std::optional<int> wait(std::chrono::milliseconds limit) override {
    if (status_) return status_;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        check_no_sanitizer_report();
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

  bool end_as_user(Ending how) override { return pid_ > 0 && ::kill(pid_, signal_of(how)) == 0; }

  int pid() const override { return pid_ > 0 ? static_cast<int>(pid_) : 0; }

  void close_stdin(std::string_view text) override {
    if (stdin_pipe_ < 0) return;
    [[maybe_unused]] auto n = write(stdin_pipe_, text.data(), text.size());
    close(stdin_pipe_);
    stdin_pipe_ = -1;
  }

 private:
  std::string in_path_;
  pid_t pid_ = -1;
  int stdin_pipe_ = -1;
  std::optional<int> status_;
};

}  // namespace

// Killed by the signal, as wait() reports it.
int ChildProcess::status_after(Ending how) { return 128 + signal_of(how); }

std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options) {
  return std::make_unique<PosixChild>(program, args, options);
}

void set_env(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void unset_env(const std::string& name) { unsetenv(name.c_str()); }
