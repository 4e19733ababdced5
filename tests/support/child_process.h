// Starts a built program as a child process for end-to-end tests, with its
// standard output and error captured to files that the test can poll. The
// child inherits its three standard streams and no other handle of the test.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ChildOptions {
  // Standard input: this text from a file (then at its end), or, when unset, an
  // open pipe that the child waits on until the test closes it.
  std::optional<std::string> stdin_text;
  std::string working_directory{};  // empty: the test's own
  // Windows: a console of its own, so that end_as_user can send it Ctrl+C
  // and Ctrl+Break without touching the test's console. Elsewhere no effect.
  bool own_console = false;

  static ChildOptions with_stdin(std::string text) {
    ChildOptions options;
    options.stdin_text = std::move(text);
    return options;
  }
};

// What out() and err() return at most, and what the report check reads.
constexpr std::size_t CAPTURE_LIMIT = 1 << 20;

class ChildProcess {
 public:
  // Each system's child kills the child if it still runs, then fails the
  // running test when the child's standard error carries a sanitizer report.
  virtual ~ChildProcess();  // removes the captured output
  // What the child has written so far (its first CAPTURE_LIMIT bytes).
  std::string out() const;
  std::string err() const;
  // Waits up to `limit` for the exit; the status, or nothing on time-out.
  virtual std::optional<int> wait(std::chrono::milliseconds limit) = 0;
  virtual void kill() = 0;
  // Ends the child as its user would: Ctrl+C (SIGINT), SIGTERM or Ctrl+Break,
  // closing its window (SIGHUP, the console's close event). False when this
  // system cannot deliver that to the child.
  enum class Ending { interrupt, terminate, close_window };
  virtual bool end_as_user(Ending how) = 0;
  // The exit status `how` leaves when the program lets it end the process.
  static int status_after(Ending how);
  // Writes `text` to the stdin pipe, then closes it: the child reads end of input.
  virtual void close_stdin(std::string_view text = {}) = 0;
  // The system's process id; 0 when the child did not start.
  virtual int pid() const = 0;

  // Polls out() until it contains `text`; false after `limit`.
  bool wait_for_out(const std::string& text, std::chrono::milliseconds limit) const;
  bool wait_for_err(const std::string& text, std::chrono::milliseconds limit) const;

  // The first sanitizer report in standard error ("ERROR: AddressSanitizer",
  // "WARNING: ThreadSanitizer", "runtime error:", ...), up to a few KiB of it;
  // empty when there is none.
  std::string sanitizer_report() const;

 protected:
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  // Once per child, after it has ended: a report fails the running test,
  // naming the child and quoting the report.
  void check_no_sanitizer_report();

  std::string name_;  // program file name and arguments, for messages
  std::string out_path_, err_path_;

 private:
  bool checked_ = false;
};

// Starts `program` with `args`; the environment is the test's own (set it with
// set_env / unset_env first).
std::unique_ptr<ChildProcess> start_child(const std::string& program, const std::vector<std::string>& args,
                                          const ChildOptions& options = {});

void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

// Up to `limit` bytes of the file at `path` from `offset`; empty when it
// cannot be read.
std::string read_file_part(const std::string& path, std::size_t offset, std::size_t limit);
