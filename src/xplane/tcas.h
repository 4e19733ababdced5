// X-Plane's traffic: the TCAS target datarefs (X-Plane 11.50 and later),
// read one array element at a time over "RREF" ("name[i]"), slot by slot.
// Slot 0 is the user's own aircraft and is never asked for. A slot is only a
// place: an aircraft is known by its Mode S id, and a slot that changes hands
// starts empty again.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "state/traffic.h"

namespace tavrik {

// Twice a second: a traffic symbol moves at most ~60 m between replies at
// 250 kt, and each reply stays small.
constexpr std::int32_t TCAS_REQUEST_HZ = 2;
// Slots 1 to 20: the 19 aircraft X-Plane's own AI setting goes to, and a
// spare; 380 subscriptions, replies about 6 KB a second in all.
constexpr std::size_t TCAS_FIRST_SLOT = 1;
constexpr std::size_t TCAS_SLOTS = 20;
// Our subscription indices for traffic begin here, far from the user's values.
constexpr std::int32_t TCAS_FIRST_INDEX = 1000;

// Per-element datarefs (DataRefs.txt, all [64] arrays): int and float values
// arrive as 32-bit floats alike.
inline constexpr std::array TCAS_NUMBER_DATAREFS{
    "sim/cockpit2/tcas/targets/modeS_id",                   // int, 24-bit id
    "sim/cockpit2/tcas/targets/position/lat",               // float, degrees
    "sim/cockpit2/tcas/targets/position/lon",               // float, degrees
    "sim/cockpit2/tcas/targets/position/ele",               // float, metres MSL
    "sim/cockpit2/tcas/targets/position/psi",               // float, degrees true heading
    "sim/cockpit2/tcas/targets/position/vertical_speed",    // float, feet per minute
    "sim/cockpit2/tcas/targets/position/V_msc",             // float, m/s, total true speed (vertical included)
    "sim/cockpit2/tcas/targets/position/weight_on_wheels",  // int, boolean
};
enum TcasField : std::size_t { MODE_S, LAT, LON, ELE, PSI, VS, SPEED, ON_WHEELS, FLIGHT_ID };
// byte[512], 8 per slot: 7 characters and a terminating zero.
constexpr const char* TCAS_FLIGHT_ID = "sim/cockpit2/tcas/targets/flight_id";
constexpr const char* TCAS_ICAO_TYPE = "sim/cockpit2/tcas/targets/icao_type";
constexpr std::size_t TCAS_BYTES_PER_SLOT = 8;
constexpr std::size_t TCAS_FLIGHT_ID_CHARS = 7;
constexpr std::size_t TCAS_TYPE_CHARS = 4;  // ICAO type designators have at most 4
constexpr std::size_t TCAS_ICAO_TYPE_FIELD = FLIGHT_ID + TCAS_FLIGHT_ID_CHARS;
constexpr std::size_t TCAS_FIELDS = TCAS_ICAO_TYPE_FIELD + TCAS_TYPE_CHARS;
constexpr std::size_t TCAS_REQUEST_COUNT = TCAS_SLOTS * TCAS_FIELDS;

// The dataref element and subscription index of `field` of the n-th slot
// asked for (slot TCAS_FIRST_SLOT + n).
std::string tcas_path(std::size_t n, std::size_t field);
std::int32_t tcas_index(std::size_t n, std::size_t field);

// Every traffic request at `frequency` (0 cancels), in index order.
std::vector<std::string> build_tcas_requests(std::int32_t frequency);

// What the feed has heard of each slot, between replies.
struct TcasSlot {
  std::array<std::optional<float>, TCAS_FIELDS> values{};
};
struct TcasSlots {
  std::array<TcasSlot, TCAS_SLOTS> slots{};
};

// Applies the traffic records of one "RREF" datagram to `slots` and reports
// each slot it touched that holds an aircraft (a Mode S id from 1 to
// 0xFFFFFF, a finite position not at 0,0) to `traffic`, stamped `now`, `t`.
// A new Mode S id in a slot clears what the slot held. Records of other
// indices are left alone. Returns how many aircraft were reported.
std::size_t apply_tcas_reply(TcasSlots& slots, Traffic& traffic, const std::uint8_t* data, std::size_t size,
                             TrafficInstant now, std::uint64_t t, std::optional<OwnPosition> own);

}  // namespace tavrik
