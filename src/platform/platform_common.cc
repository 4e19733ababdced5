// Parts of the platform layer that are the same on every system.
#include "platform/platform.h"

namespace tavrik::platform {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

std::uintptr_t Socket::release() {
  std::uintptr_t h = handle_;
  handle_ = INVALID;
  return h;
}

std::string format_address(Ipv4Address address) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    text += std::to_string((address.ip >> shift) & 0xFF);
    text += shift ? "." : ":";
  }
  return text + std::to_string(address.port);
}

}  // namespace tavrik::platform
