// Starts the built program as a child process for end-to-end tests, with its
// standard output and error captured to files that the test can poll.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ChildOptions {
  // Standard input: this text from a file (then at its end), or, when unset, an
  // open pipe that the child waits on until the test ends it.
  std::optional<std::string> stdin_text;
  std::string working_directory{};  // empty: the test's own

  static ChildOptions with_stdin(std::string text) {
    ChildOptions options;
    options.stdin_text = std::move(text);
    return options;
  }
};

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // kills the child if it still runs
  // Everything written so far to standard output / error.
  virtual std::string out() = 0;
  virtual std::string err() = 0;
  // Waits up to `limit` for the exit; the status, or nothing on time-out.
  virtual std::optional<int> wait(std::chrono::milliseconds limit) = 0;
  virtual void kill() = 0;
  // Sends one line (then end of input) through the stdin pipe.
  virtual void send_line_and_close_stdin() = 0;
  // The system's process id; 0 when the child did not start.
  virtual int pid() const = 0;

  // Polls out() until it contains `text`; false after `limit`.
  bool wait_for_out(const std::string& text, std::chrono::milliseconds limit);
  bool wait_for_err(const std::string& text, std::chrono::milliseconds limit);
};

// Starts `program` with `args`; the environment is the test's own (set it with
// set_env / unset_env first).
std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options = {});

void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);
