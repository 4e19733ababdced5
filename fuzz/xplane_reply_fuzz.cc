// X-Plane replies as the feed applies them, each in a buffer of exactly its
// size, to a fresh record and to one that MSFS wrote last.
//
// Properties: only data of at least 5 bytes headed "RREF" changes the record
// (and its update count); anything else leaves it exactly as it was. An
// accepted reply leaves the record X-Plane's, holding for each value index
// the value of its last complete record, or nothing when none carried it.
// Its traffic records give at most one aircraft per slot, cleanly written.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

void check(bool property) {
  if (!property) std::abort();
}

bool same(const std::optional<double>& a, const std::optional<double>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || std::memcmp(&*a, &*b, sizeof(double)) == 0;  // NaN payloads too
}

bool same(const LiveState& a, const LiveState& b) {
  for (std::size_t i = 0; i < VALUE_COUNT; ++i)
    if (!same(a.values[i], b.values[i])) return false;
  return a.last_update == b.last_update && a.t == b.t && a.update_count == b.update_count && a.sim == b.sim;
}

std::uint32_t u32_at(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

// The value each index should hold after `data` was accepted.
std::array<std::optional<double>, VALUE_COUNT> expected_values(const std::uint8_t* data, std::size_t size) {
  std::array<std::optional<double>, VALUE_COUNT> values{};
  for (std::size_t at = 5; at + 8 <= size; at += 8) {
    std::uint32_t index = u32_at(data + at);
    if (index < VALUE_COUNT) values[index] = static_cast<double>(std::bit_cast<float>(u32_at(data + at + 4)));
  }
  return values;
}

LiveState msfs_state() {
  LiveState state;
  state.sim = SimKind::msfs;
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) state.values[i] = 100.0 + static_cast<double>(i);
  mark_updated(state, Instant(std::chrono::seconds(1)), WallClock::time_point(std::chrono::seconds(1)));
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto datagram = std::make_unique<std::uint8_t[]>(size);  // exactly `size`: nothing readable beyond it
  std::memcpy(datagram.get(), data, size);
  const bool valid = size >= 5 && std::memcmp(data, "RREF", 4) == 0;
  const auto expected = expected_values(data, size);
  const Instant now(std::chrono::seconds(5));
  const WallClock::time_point wall_now(std::chrono::seconds(5));

  for (const LiveState& before : {LiveState{}, msfs_state()}) {
    LiveState state = before;
    bool accepted = apply_xplane_reply(state, datagram.get(), size, now, wall_now);
    check(accepted == valid);
    if (!accepted) {
      check(same(state, before));
      continue;
    }
    check(state.update_count == before.update_count + 1);
    check(state.sim == SimKind::xp && state.last_update == now && state.t == 5000);
    for (std::size_t i = 0; i < VALUE_COUNT; ++i) check(same(state.values[i], expected[i]));
    std::string snapshot = build_live_snapshot(state, now);
    check(snapshot.find("nan") == std::string::npos && snapshot.find("inf") == std::string::npos);
  }
  // The traffic read from the same bytes: at most one aircraft per slot, the JSON clean.
  TcasSlots slots;
  Traffic traffic;
  std::size_t reported = apply_tcas_reply(slots, traffic, datagram.get(), size, now, 5000, OwnPosition{47, 8});
  check(reported <= TCAS_SLOTS && traffic.aircraft.size() <= TCAS_SLOTS);
  std::string json = traffic_json(traffic.aircraft);
  check(json.find("nan") == std::string::npos && json.find("inf") == std::string::npos);
  return 0;
}

}  // namespace tavrik
