#include "xplane/tcas.h"

#include <bit>
#include <cmath>

#include "platform/byte_order.h"
#include "xplane/xplane_feed.h"

namespace tavrik {
namespace {

constexpr std::size_t HEAD_SIZE = 5;
constexpr std::size_t RECORD_SIZE = 8;
constexpr double FEET_PER_MINUTE_TO_METRES_PER_SECOND = 0.00508;
constexpr double NEAR_ZERO_DEGREES = 0.01;

std::optional<double> finite(const std::optional<float>& value) {
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return static_cast<double>(*value);
}

// A byte of a text dataref; nothing for a value that is not one.
std::optional<char> text_byte(const std::optional<float>& value) {
  if (!value || !(*value >= 0 && *value <= 255) || *value != std::floor(*value)) return std::nullopt;
  return static_cast<char>(static_cast<unsigned char>(*value));
}

// The characters up to the first zero or unheard byte.
std::string slot_text(const TcasSlot& slot, std::size_t first, std::size_t count, std::size_t max) {
  std::string raw;
  for (std::size_t k = 0; k < count; ++k) {
    auto byte = text_byte(slot.values[first + k]);
    if (!byte || *byte == '\0') break;
    raw += *byte;
  }
  return printable_text(raw, max);
}

std::optional<std::uint32_t> mode_s_of(const TcasSlot& slot) {
  const auto& id = slot.values[MODE_S];
  if (!id || !(*id >= 1 && *id <= 0xFFFFFF) || *id != std::floor(*id)) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

std::optional<TrafficAircraft> aircraft_of(const TcasSlot& slot, TrafficInstant now, std::uint64_t t) {
  auto id = mode_s_of(slot);
  auto lat = finite(slot.values[LAT]);
  auto lon = finite(slot.values[LON]);
  if (!id || !lat || !lon || (std::fabs(*lat) < NEAR_ZERO_DEGREES && std::fabs(*lon) < NEAR_ZERO_DEGREES))
    return std::nullopt;
  TrafficAircraft aircraft;
  aircraft.key = {TrafficSource::xp, *id};
  aircraft.lat = *lat;
  aircraft.lon = *lon;
  aircraft.alt = finite(slot.values[ELE]);
  aircraft.hdg = finite(slot.values[PSI]);
  aircraft.vs = finite(slot.values[VS]);
  // V_msc includes the climb; the ground speed is its level part.
  if (auto speed = finite(slot.values[SPEED])) {
    double climb = aircraft.vs ? *aircraft.vs * FEET_PER_MINUTE_TO_METRES_PER_SECOND : 0;
    aircraft.gs = std::sqrt(std::fmax(0.0, *speed * *speed - climb * climb));
  }
  if (auto wheels = finite(slot.values[ON_WHEELS])) aircraft.on_ground = *wheels != 0;
  aircraft.callsign = slot_text(slot, FLIGHT_ID, TCAS_FLIGHT_ID_CHARS, CALLSIGN_MAX);
  aircraft.type = slot_text(slot, TCAS_ICAO_TYPE_FIELD, TCAS_TYPE_CHARS, AIRCRAFT_TYPE_MAX);
  aircraft.last_seen = now;
  aircraft.t = t;
  return aircraft;
}

}  // namespace

std::string tcas_path(std::size_t n, std::size_t field) {
  std::size_t slot = TCAS_FIRST_SLOT + n;
  if (field < FLIGHT_ID) return std::string(TCAS_NUMBER_DATAREFS[field]) + "[" + std::to_string(slot) + "]";
  bool flight = field < TCAS_ICAO_TYPE_FIELD;
  std::size_t byte = slot * TCAS_BYTES_PER_SLOT + field - (flight ? FLIGHT_ID : TCAS_ICAO_TYPE_FIELD);
  return std::string(flight ? TCAS_FLIGHT_ID : TCAS_ICAO_TYPE) + "[" + std::to_string(byte) + "]";
}

std::int32_t tcas_index(std::size_t n, std::size_t field) {
  return TCAS_FIRST_INDEX + static_cast<std::int32_t>(n * TCAS_FIELDS + field);
}

std::vector<std::string> build_tcas_requests(std::int32_t frequency) {
  std::vector<std::string> requests;
  requests.reserve(TCAS_REQUEST_COUNT);
  for (std::size_t n = 0; n < TCAS_SLOTS; ++n)
    for (std::size_t field = 0; field < TCAS_FIELDS; ++field)
      requests.push_back(build_rref_request(frequency, tcas_index(n, field), tcas_path(n, field)));
  return requests;
}

std::size_t apply_tcas_reply(TcasSlots& slots, Traffic& traffic, const std::uint8_t* data, std::size_t size,
                             TrafficInstant now, std::uint64_t t, std::optional<OwnPosition> own) {
  std::bitset<TCAS_SLOTS> touched;
  for (std::size_t at = HEAD_SIZE; at + RECORD_SIZE <= size; at += RECORD_SIZE) {
    std::uint32_t index = platform::read_u32_le(data + at);
    if (index < static_cast<std::uint32_t>(TCAS_FIRST_INDEX)) continue;
    std::size_t offset = index - static_cast<std::uint32_t>(TCAS_FIRST_INDEX);
    if (offset >= TCAS_REQUEST_COUNT) continue;
    TcasSlot& slot = slots.slots[offset / TCAS_FIELDS];
    std::size_t field = offset % TCAS_FIELDS;
    float value = std::bit_cast<float>(platform::read_u32_le(data + at + 4));
    // Another aircraft took the slot: nothing of the one before may stick to it.
    if (field == MODE_S && slot.values[MODE_S] &&
        std::bit_cast<std::uint32_t>(*slot.values[MODE_S]) != std::bit_cast<std::uint32_t>(value))
      slot = TcasSlot{};
    slot.values[field] = value;
    touched.set(offset / TCAS_FIELDS);
  }
  std::size_t reported = 0;
  for (std::size_t n = 0; n < TCAS_SLOTS; ++n) {
    if (!touched.test(n)) continue;
    if (auto aircraft = aircraft_of(slots.slots[n], now, t)) {
      report_traffic(traffic, std::move(*aircraft), own);
      ++reported;
    }
  }
  return reported;
}

}  // namespace tavrik
