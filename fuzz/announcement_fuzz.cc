// ForeFlight's announcement as the EFB feed reads it: any bytes are read
// without fault, a port comes only from a bounded datagram naming ForeFlight,
// and the apps kept never pass their cap, whoever announces.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "efb/announcement.h"

namespace tavrik {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto port = read_announcement(text);
  if (port && (*port == 0 || size > MAX_ANNOUNCEMENT_SIZE || text.find("\"ForeFlight\"") == text.npos)) std::abort();
  static AnnouncedApps known;
  static Instant now{};
  now += std::chrono::milliseconds(size);
  forget_silent_apps(known, now);
  note_announcement(known, size > 0 ? data[0] : 0, port.value_or(4000), now);
  if (known.apps.size() > MAX_ANNOUNCED_APPS) std::abort();
  return 0;
}

}  // namespace tavrik
