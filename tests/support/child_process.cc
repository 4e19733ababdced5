// What both systems' child processes share: captured output, waiting for a
// line, and the check for sanitizer reports when a child ends.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace {

// Lines that begin the reports of ASan, LSan, TSan, UBSan and MSan.
const char* const REPORT_MARKERS[] = {
    "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",          "ERROR: ThreadSanitizer",
    "ERROR: MemorySanitizer",  "runtime error:",       "ERROR: UndefinedBehaviorSanitizer",
};
constexpr std::size_t REPORT_EXCERPT = 6 * 1024;

std::string unique_path(const std::string& tag) {
  static const unsigned run = std::random_device{}();
  static std::atomic<int> counter{0};
  return (std::filesystem::temp_directory_path() /
          ("tavrik-test-" + std::to_string(run) + "-" + std::to_string(counter++) + "-" + tag))
      .string();
}

std::string file_name(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool wait_for(const std::function<std::string()>& read, const std::string& text, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (read().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : name_(file_name(program)), out_path_(unique_path("out")), err_path_(unique_path("err")) {
  for (const std::string& arg : args) name_ += " " + arg;
}

ChildProcess::~ChildProcess() {
  std::error_code ignored;
  std::filesystem::remove(out_path_, ignored);
  std::filesystem::remove(err_path_, ignored);
}

std::string ChildProcess::out() const { return read_file_part(out_path_, 0, CAPTURE_LIMIT); }
std::string ChildProcess::err() const { return read_file_part(err_path_, 0, CAPTURE_LIMIT); }

bool ChildProcess::wait_for_out(const std::string& text, std::chrono::milliseconds limit) const {
  return wait_for([this] { return out(); }, text, limit);
}

bool ChildProcess::wait_for_err(const std::string& text, std::chrono::milliseconds limit) const {
  return wait_for([this] { return err(); }, text, limit);
}

std::string ChildProcess::sanitizer_report() const {
  // Chunk by chunk, each overlapping the last by a marker's length, so that
  // memory stays bounded whatever the child wrote.
  constexpr std::size_t CHUNK = 64 * 1024, OVERLAP = 64;
  for (std::size_t offset = 0; offset < CAPTURE_LIMIT; offset += CHUNK - OVERLAP) {
    std::string chunk = read_file_part(err_path_, offset, CHUNK);
    std::size_t first = std::string::npos;
    for (const char* marker : REPORT_MARKERS) first = std::min(first, chunk.find(marker));
    if (first != std::string::npos) {
      std::size_t line = chunk.rfind('\n', first);
      std::size_t start = offset + (line == std::string::npos ? 0 : line + 1);
      return read_file_part(err_path_, start, REPORT_EXCERPT);
    }
    if (chunk.size() < CHUNK) break;
  }
  return {};
}

void ChildProcess::check_no_sanitizer_report() {
  if (checked_) return;
  checked_ = true;
  std::string report = sanitizer_report();
  if (!report.empty()) ADD_FAILURE() << "child '" << name_ << "' reported on standard error:\n" << report;
}

std::string read_file_part(const std::string& path, std::size_t offset, std::size_t limit) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  if (size <= static_cast<std::streamoff>(offset)) return {};
  std::string data(std::min(limit, static_cast<std::size_t>(size) - offset), '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}
