// Little-endian integers as the simulators' wire formats carry them; plain
// byte arithmetic, the same on every system.
#pragma once

#include <cstdint>
#include <string>

namespace tavrik::platform {

inline std::uint32_t read_u32_le(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

inline void append_u32_le(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

}  // namespace tavrik::platform
