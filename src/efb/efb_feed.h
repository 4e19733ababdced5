// The EFB feed (--efb): the aircraft to the pilot's EFB app as GDL 90 (UDP
// 4000) and ForeFlight's simulator sentences (UDP 49002), to the broadcast
// address of each of this PC's networks and to every ForeFlight that
// announces itself, or to the addresses the user named. One thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "efb/announcement.h"
#include "platform/platform.h"
#include "state/live_state.h"
#include "state/loop_clock.h"

namespace tavrik {

constexpr std::uint16_t GDL90_PORT = 4000;
constexpr std::uint16_t SENTENCE_PORT = 49002;
constexpr auto EFB_TICK = std::chrono::milliseconds(20);        // how often the feed looks at a live record
constexpr auto EFB_IDLE_TICK = std::chrono::milliseconds(100);  // and at one that is not live

// One IPv4 network of this PC that the feed broadcasts to.
struct EfbNetwork {
  std::uint32_t own_ip = 0;  // the PC's address on it
  std::uint32_t netmask = 0;
  std::uint32_t broadcast() const { return (own_ip & netmask) | ~netmask; }
  bool contains(std::uint32_t ip) const { return (ip & netmask) == (own_ip & netmask); }
};

// The networks to broadcast to: interfaces up, not loopback, not link-local
// (169.254/16), with a netmask that leaves room for other machines (/30 or
// wider); one per network, in the system's order.
std::vector<EfbNetwork> efb_networks(const std::vector<platform::InterfaceAddress>& interfaces);

// What the feed was asked to do, and where.
struct EfbPlan {
  std::vector<EfbNetwork> networks;      // broadcast to these (--efb alone)
  std::vector<std::uint32_t> addresses;  // or to these only (--efb ADDR,...)
  bool listen = false;                   // take ForeFlight's announcements
};

// The plan for the option: `addresses` empty means --efb alone. A named
// address is kept when it is on one of `networks` or on this PC (loopback).
EfbPlan plan_efb(const std::vector<std::uint32_t>& addresses, const std::vector<EfbNetwork>& networks);

// The console lines that say where the feed sends ("→ EFB: ..."), or why it
// sends nowhere ("… EFB: ...").
std::string efb_plan_lines(const EfbPlan& plan, const std::vector<std::uint32_t>& asked);
std::string app_found_line(std::uint32_t ip);  // "✓ EFB: ForeFlight on <ip>\n"

// Whether an announcement from `ip` is taken: it comes from one of the
// networks, neither its broadcast nor its network address, nor this PC.
bool announcement_source_ok(const EfbPlan& plan, std::uint32_t ip);

// Where each kind of datagram goes now. GDL 90 goes to a network's broadcast
// address only while no ForeFlight on that network has announced itself:
// an announced app gets it directly, at its port, and once.
struct EfbTargets {
  std::vector<platform::Ipv4Address> gdl90;
  std::vector<platform::Ipv4Address> sentences;
};
EfbTargets efb_targets(const EfbPlan& plan, const AnnouncedApps& apps);

// The thread's sockets: one to send from (broadcast allowed), and, when the
// plan listens, one bound to ANNOUNCEMENT_PORT.
struct EfbSockets {
  platform::Socket sender;
  platform::Socket listener;
};

// Thread body. Never returns.
[[noreturn]] void run_efb_feed(EfbPlan plan, EfbSockets sockets, SharedState holder,
                               LoopClock& clock = real_loop_clock());

}  // namespace tavrik
