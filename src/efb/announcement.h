// ForeFlight's announcement on UDP 63093 ({"App":"ForeFlight","GDL90":{"port":4000}},
// broadcast every 5 s while the app is in front) and the apps it made known.
// The only bytes the EFB feed reads from the network: every reader is pure
// and bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "state/live_state.h"

namespace tavrik {

constexpr std::uint16_t ANNOUNCEMENT_PORT = 63093;
constexpr std::size_t MAX_ANNOUNCEMENT_SIZE = 1024;  // a longer datagram is not read at all
constexpr std::size_t MAX_ANNOUNCED_APPS = 16;
constexpr auto APP_FORGOTTEN_AFTER = std::chrono::seconds(15);

// The GDL 90 port of a ForeFlight announcement: one JSON object, strictly
// formed, at most MAX_ANNOUNCEMENT_SIZE bytes, whose "App" is "ForeFlight"
// and whose "GDL90" is an object with an integer "port" from 1 to 65535.
// Other members may be there and are skipped. Nothing for anything else.
std::optional<std::uint16_t> read_announcement(std::string_view datagram);

struct AnnouncedApp {
  std::uint32_t ip = 0;  // host byte order
  std::uint16_t port = 0;
  Instant last_heard{};
};

// The apps heard within APP_FORGOTTEN_AFTER, at most MAX_ANNOUNCED_APPS:
// one more is not taken until one is forgotten.
struct AnnouncedApps {
  std::vector<AnnouncedApp> apps;
};

// Takes one announcement from `ip`; true when the app was not known before
// (a new address), for the console line. A known app's port is updated.
bool note_announcement(AnnouncedApps& known, std::uint32_t ip, std::uint16_t port, Instant now);

// Drops the apps last heard APP_FORGOTTEN_AFTER or more before `now`.
void forget_silent_apps(AnnouncedApps& known, Instant now);

}  // namespace tavrik
