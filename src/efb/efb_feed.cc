#include "efb/efb_feed.h"

#include <algorithm>
#include <mutex>

#include "efb/efb_schedule.h"

namespace tavrik {
namespace {

constexpr std::uint32_t LINK_LOCAL_NET = 0xA9FE0000;       // 169.254.0.0/16
constexpr std::uint32_t WIDEST_MASK_ALLOWED = 0xFFFFFFFC;  // /30: two hosts

std::string ip_text(std::uint32_t ip) {
  std::string text = platform::format_address({ip, 0});
  return text.substr(0, text.rfind(':'));
}

int prefix_length(std::uint32_t netmask) {
  int bits = 0;
  while (bits < 32 && (netmask << bits) & 0x80000000u) ++bits;
  return bits;
}

const char* BOTH = "GDL 90 (UDP 4000) and ForeFlight's sentences (UDP 49002)";

bool on_this_pc(const EfbPlan& plan, std::uint32_t ip) {
  return platform::is_loopback(ip) ||
         std::any_of(plan.networks.begin(), plan.networks.end(), [ip](const EfbNetwork& n) { return n.own_ip == ip; });
}

void send_each(const platform::Socket& socket, const std::vector<std::string>& datagrams,
               const std::vector<platform::Ipv4Address>& targets) {
  for (const auto& target : targets)
    for (const auto& datagram : datagrams)
      platform::send_to(socket, datagram.data(), datagram.size(), target);  // a lost datagram: the next one follows
}

// The record, and, when `with_traffic`, the aircraft around it, in one hold.
LiveState copy_record(LiveStateHolder& holder, bool with_traffic, Instant now, std::vector<TrafficAircraft>& traffic) {
  std::lock_guard<std::mutex> lock(holder.mutex);
  if (with_traffic) traffic = copy_traffic(holder.traffic, now);
  return holder.record;
}

}  // namespace

std::vector<EfbNetwork> efb_networks(const std::vector<platform::InterfaceAddress>& interfaces) {
  std::vector<EfbNetwork> networks;
  for (const auto& entry : interfaces) {
    if (!entry.up || entry.loopback || platform::is_loopback(entry.ip)) continue;
    if ((entry.ip & 0xFFFF0000u) == LINK_LOCAL_NET) continue;
    if (entry.netmask == 0 || (entry.netmask & ~WIDEST_MASK_ALLOWED) != 0) continue;
    EfbNetwork network{entry.ip, entry.netmask};
    bool known = std::any_of(networks.begin(), networks.end(),
                             [&](const EfbNetwork& n) { return n.netmask == network.netmask && n.contains(entry.ip); });
    if (!known) networks.push_back(network);
  }
  return networks;
}

EfbPlan plan_efb(const std::vector<std::uint32_t>& addresses, const std::vector<EfbNetwork>& networks) {
  EfbPlan plan;
  plan.listen = addresses.empty();
  if (plan.listen) {
    plan.networks = networks;
    return plan;
  }
  EfbPlan local{networks, {}, false};
  for (std::uint32_t ip : addresses) {
    bool reachable = on_this_pc(local, ip) || std::any_of(networks.begin(), networks.end(),
                                                          [ip](const EfbNetwork& n) { return n.contains(ip); });
    if (reachable && std::find(plan.addresses.begin(), plan.addresses.end(), ip) == plan.addresses.end())
      plan.addresses.push_back(ip);
  }
  return plan;
}

std::string efb_plan_lines(const EfbPlan& plan, const std::vector<std::uint32_t>& asked) {
  std::string lines;
  for (const auto& network : plan.networks)
    lines += "→ EFB: " + std::string(BOTH) + " to " + ip_text(network.broadcast()) + ", the network " +
             ip_text(network.own_ip & network.netmask) + "/" + std::to_string(prefix_length(network.netmask)) + "\n";
  for (std::uint32_t ip : asked) {
    bool kept = std::find(plan.addresses.begin(), plan.addresses.end(), ip) != plan.addresses.end();
    lines += kept ? "→ EFB: " + std::string(BOTH) + " to " + ip_text(ip) + "\n"
                  : "… EFB: " + ip_text(ip) + " is on none of this PC's networks: nothing is sent there\n";
  }
  if (plan.listen) {
    lines += plan.networks.empty() ? "… EFB: this PC is on no network to send to (connect it, then restart)\n"
                                   : "→ EFB: listening for ForeFlight on UDP 63093, to send GDL 90 to it directly\n";
  }
  return lines;
}

std::string app_found_line(std::uint32_t ip) { return "✓ EFB: ForeFlight on " + ip_text(ip) + "\n"; }

bool announcement_source_ok(const EfbPlan& plan, std::uint32_t ip) {
  if (on_this_pc(plan, ip)) return false;
  return std::any_of(plan.networks.begin(), plan.networks.end(), [ip](const EfbNetwork& n) {
    return n.contains(ip) && ip != n.broadcast() && ip != (n.own_ip & n.netmask);
  });
}

EfbTargets efb_targets(const EfbPlan& plan, const AnnouncedApps& apps) {
  EfbTargets targets;
  for (std::uint32_t ip : plan.addresses) {
    targets.gdl90.push_back({ip, GDL90_PORT});
    targets.sentences.push_back({ip, SENTENCE_PORT});
  }
  for (const auto& network : plan.networks) {
    bool announced = std::any_of(apps.apps.begin(), apps.apps.end(),
                                 [&](const AnnouncedApp& app) { return network.contains(app.ip); });
    if (!announced) targets.gdl90.push_back({network.broadcast(), GDL90_PORT});
    targets.sentences.push_back({network.broadcast(), SENTENCE_PORT});
  }
  for (const auto& app : apps.apps) targets.gdl90.push_back({app.ip, app.port});
  return targets;
}

void run_efb_feed(EfbPlan plan, EfbSockets sockets, SharedState holder, LoopClock& clock) {
  AnnouncedApps apps;
  EfbSchedule schedule;
  std::optional<Instant> last_step;
  MonotonicClock::duration tick = EFB_IDLE_TICK;
  if (sockets.listener.valid())
    platform::set_receive_timeout(sockets.listener, static_cast<int>(EFB_IDLE_TICK.count()));
  std::vector<char> buffer(MAX_ANNOUNCEMENT_SIZE + 1);
  for (;;) {
    if (sockets.listener.valid()) {
      // The receive time-out is the loop's pace; an announcement wakes it early.
      platform::Ipv4Address from;
      platform::IoResult got = platform::receive_from(sockets.listener, buffer.data(), buffer.size(), &from);
      if (!got.failed() && announcement_source_ok(plan, from.ip)) {
        if (auto port = read_announcement(std::string_view(buffer.data(), got.bytes)))
          if (note_announcement(apps, from.ip, *port, clock.now()))
            platform::write_console(platform::ConsoleStream::out, app_found_line(from.ip));
      }
    } else {
      clock.sleep_for(tick);
    }
    Instant now = clock.now();
    if (last_step && now - *last_step < EFB_TICK / 2) continue;  // a flood of datagrams does not speed the sending
    last_step = now;
    forget_silent_apps(apps, now);
    std::vector<TrafficAircraft> traffic;
    WallClock::time_point wall_now = WallClock::now();
    LiveState record = copy_record(*holder, second_due(schedule, wall_now), now, traffic);
    // Frugal while nothing is live: the heartbeat's second and the first report may then wait up to 100 ms.
    auto wanted = is_live(record, now) ? MonotonicClock::duration(EFB_TICK) : MonotonicClock::duration(EFB_IDLE_TICK);
    if (wanted != tick && sockets.listener.valid())
      platform::set_receive_timeout(
          sockets.listener, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wanted).count()));
    tick = wanted;
    EfbBatch batch = due_messages(schedule, record, traffic, now, wall_now);
    if (batch.empty()) continue;
    EfbTargets targets = efb_targets(plan, apps);
    send_each(sockets.sender, batch.gdl90, targets.gdl90);
    send_each(sockets.sender, batch.sentences, targets.sentences);
  }
}

}  // namespace tavrik
