// The start sequence and the fatal stop.
#pragma once

#include <string>
#include <vector>

namespace tavrik {

// Writes "Press Enter to close.\n" to standard error, waits for one line of
// standard input (or its end), then ends the process with status 1.
[[noreturn]] void pause_and_exit();

// Writes `line` (a "✗ " line) to standard error, then pause_and_exit.
[[noreturn]] void fatal_stop(const std::string& line);

// Runs the bridge with the arguments after the program's name. Returns 0
// after the usage line; otherwise it serves until the process is ended.
int run_bridge(const std::vector<std::string>& args);

}  // namespace tavrik
