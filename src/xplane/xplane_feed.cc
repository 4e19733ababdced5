#include "xplane/xplane_feed.h"

#include <bit>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/byte_order.h"

namespace tavrik {
namespace {

constexpr std::size_t HEAD_SIZE = 5;  // "RREF" and one byte
constexpr std::size_t RECORD_SIZE = 8;

bool has_rref_head(const std::uint8_t* data, std::size_t size) {
  return size >= HEAD_SIZE && std::memcmp(data, "RREF", 4) == 0;
}

// Switches the record to X-Plane; values another simulator left must not show as X-Plane's.
void switch_to_xplane(LiveState& record) {
  if (record.sim == SimKind::xp) return;
  for (auto& value : record.values) value.reset();
  for (auto& value : record.efb) value.reset();
  record.sim = SimKind::xp;
}

void apply_records(LiveState& record, const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = HEAD_SIZE; at + RECORD_SIZE <= size; at += RECORD_SIZE) {
    std::uint32_t index = platform::read_u32_le(data + at);
    if (index >= subscription_count(true)) continue;
    double value = static_cast<double>(std::bit_cast<float>(platform::read_u32_le(data + at + 4)));
    if (index < VALUE_COUNT) {
      record.values[index] = value;
    } else {
      record.efb[index - VALUE_COUNT] = value;
    }
  }
}

const char* dataref_path(std::size_t index) {
  return index < VALUE_COUNT ? XPLANE_DATAREFS.at(index) : XPLANE_EFB_DATAREFS.at(index - VALUE_COUNT);
}

void send_subscription_pass(const platform::Socket& socket, platform::Ipv4Address target, LoopClock& clock, bool efb) {
  const std::size_t values = subscription_count(efb);
  std::vector<std::string> pass = build_subscription_pass(efb);
  for (std::size_t i = 0; i < pass.size(); ++i) {
    if (i >= values && (i - values) % XPLANE_PASS_GROUP == 0) clock.sleep_for(XPLANE_PASS_GROUP_GAP);
    if (platform::farewell_begun()) return;                             // nothing may follow the goodbye
    platform::send_to(socket, pass[i].data(), pass[i].size(), target);  // a failed send waits for the next pass
  }
}

// The lock is taken once per accepted datagram: stray ones never touch it.
bool apply_locked(LiveStateHolder& holder, TcasSlots& slots, const std::uint8_t* data, std::size_t size) {
  if (!has_rref_head(data, size)) return false;
  Instant now = MonotonicClock::now();
  WallClock::time_point wall_now = WallClock::now();
  std::lock_guard<std::mutex> lock(holder.mutex);
  apply_xplane_reply(holder.record, data, size, now, wall_now);
  record_track_point(holder);
  apply_tcas_reply(slots, holder.traffic, data, size, now, wall_clock_millis(wall_now), own_position(holder.record));
  return true;
}

}  // namespace

std::string build_rref_request(std::int32_t frequency, std::int32_t index, const std::string& path) {
  std::string request("RREF", 4);
  request.push_back('\0');
  platform::append_u32_le(request, static_cast<std::uint32_t>(frequency));
  platform::append_u32_le(request, static_cast<std::uint32_t>(index));
  request.append(path.substr(0, XPLANE_PATH_SIZE));
  request.resize(XPLANE_REQUEST_SIZE, '\0');
  return request;
}

std::string build_subscription_request(std::size_t index) {
  return build_rref_request(XPLANE_REQUEST_HZ, static_cast<std::int32_t>(index), dataref_path(index));
}

std::vector<std::string> build_subscription_pass(bool efb) {
  std::vector<std::string> requests;
  for (std::size_t index = 0; index < subscription_count(efb); ++index)
    requests.push_back(build_subscription_request(index));
  for (auto& request : build_tcas_requests(TCAS_REQUEST_HZ)) requests.push_back(std::move(request));
  return requests;
}

std::vector<std::string> build_unsubscription_requests(bool efb) {
  std::vector<std::string> requests;
  for (std::size_t index = 0; index < subscription_count(efb); ++index)
    requests.push_back(build_rref_request(0, static_cast<std::int32_t>(index), dataref_path(index)));
  for (auto& request : build_tcas_requests(0)) requests.push_back(std::move(request));
  return requests;
}

platform::Ipv4Address local_udp_address(platform::Ipv4Address target) {
  return {platform::is_loopback(target.ip) ? platform::LOOPBACK_IP : 0, 0};
}

bool from_xplane(platform::Ipv4Address from, platform::Ipv4Address target) { return from.ip == target.ip; }

bool apply_xplane_reply(LiveState& record, const std::uint8_t* data, std::size_t size, Instant now,
                        WallClock::time_point wall_now) {
  if (!has_rref_head(data, size)) return false;
  switch_to_xplane(record);
  apply_records(record, data, size);
  mark_updated(record, now, wall_now);
  return true;
}

bool resubscribe_due(std::optional<Instant> last_packet, Instant last_pass, Instant now) {
  bool silent = !last_packet || now - *last_packet > XPLANE_RESUBSCRIBE_AFTER;
  return silent && now - last_pass > XPLANE_RESUBSCRIBE_AFTER;
}

void run_xplane_feed(platform::Ipv4Address target, platform::Socket socket, SharedState holder, LoopClock& clock,
                     bool efb) {
  platform::set_receive_timeout(socket, XPLANE_RECEIVE_TIMEOUT_MS);  // without it, checks run per datagram only
  send_subscription_pass(socket, target, clock, efb);
  platform::arm_farewell();  // X-Plane now has something to cancel
  Instant last_pass = clock.now();
  std::optional<Instant> last_packet;
  TcasSlots slots;
  std::vector<std::uint8_t> buffer(XPLANE_RECEIVE_BUFFER);
  for (;;) {
    // Errors, time-outs, oversize datagrams and Windows' port-unreachable
    // report (10054) all arrive here as failures: none is data.
    platform::Ipv4Address from;
    platform::IoResult got = platform::receive_from(socket, buffer.data(), buffer.size(), &from);
    if (!got.failed() && from_xplane(from, target) && apply_locked(*holder, slots, buffer.data(), got.bytes))
      last_packet = clock.now();
    if (resubscribe_due(last_packet, last_pass, clock.now())) {
      send_subscription_pass(socket, target, clock, efb);
      last_pass = clock.now();
    }
  }
}

}  // namespace tavrik
