// The number text of the snapshot: for any 64-bit value, the text reads back
// to the identical value, carries no exponent, and no shorter digit string
// reads back to it.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state/live_state.h"

namespace tavrik {

namespace {

// Significant digits of a positional number text ("-0.00120" → "12").
std::string significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  std::size_t last = digits.find_last_not_of('0');
  return digits.substr(first, last - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < sizeof(double)) return 0;
  double value;
  std::memcpy(&value, data, sizeof value);
  if (!std::isfinite(value)) return 0;
  std::string text;
  append_number(text, value);
  if (text.find_first_not_of("-0123456789.") != std::string::npos) std::abort();
  double back = std::strtod(text.c_str(), nullptr);
  if (std::memcmp(&back, &value, sizeof value) != 0) std::abort();
  // Shortest: one digit fewer never reads back (%.*e rounds correctly).
  std::size_t n = significant_digits(text).size();
  if (n > 1) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(n - 2), value);
    if (std::strtod(shorter, nullptr) == value) std::abort();
  }
  return 0;
}

}  // namespace tavrik
