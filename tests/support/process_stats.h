// What a running process holds, read from /proc where the system has it.
#pragma once

#include <cstdint>
#include <optional>

struct ProcessStats {
  int threads = 0;
  std::int64_t resident_kib = 0;  // VmRSS
  int open_files = 0;             // entries of /proc/<pid>/fd
};

// Nothing where /proc is missing (Windows) or the process has gone.
std::optional<ProcessStats> read_process_stats(int pid);
