#include "support/process_stats.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The number after "<name>:" in a /proc status file, or nothing.
std::optional<std::int64_t> status_field(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name + ":", 0) == 0) return std::stoll(line.substr(name.size() + 1));
  return std::nullopt;
}

}  // namespace

std::optional<ProcessStats> read_process_stats(int pid) {
  const std::filesystem::path proc = std::filesystem::path("/proc") / std::to_string(pid);
  auto threads = status_field((proc / "status").string(), "Threads");
  auto resident = status_field((proc / "status").string(), "VmRSS");
  if (!threads || !resident) return std::nullopt;
  ProcessStats stats;
  stats.threads = static_cast<int>(*threads);
  stats.resident_kib = *resident;
  std::error_code error;
  for (std::filesystem::directory_iterator it(proc / "fd", error), end; !error && it != end; it.increment(error))
    ++stats.open_files;
  return stats;
}
