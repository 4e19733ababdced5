// The X-Plane feed: dataref subscriptions over UDP, replies into LiveState.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "state/live_state.h"
#include "state/loop_clock.h"
#include "xplane/tcas.h"

namespace tavrik {

constexpr std::uint16_t XPLANE_UDP_PORT = 49000;  // where X-Plane listens
constexpr std::int32_t XPLANE_REQUEST_HZ = 5;     // replies per second asked for

// Dataref paths in subscription order; the index is also the LiveState value index.
constexpr std::array XPLANE_DATAREFS{
    "sim/flightmodel/position/latitude",    "sim/flightmodel/position/longitude",
    "sim/flightmodel/position/elevation",   "sim/flightmodel/position/true_psi",
    "sim/flightmodel/position/groundspeed", "sim/flightmodel/position/indicated_airspeed",
    "sim/flightmodel/position/vh_ind_fpm",  "sim/flightmodel/position/y_agl",
};
static_assert(XPLANE_DATAREFS.size() == VALUE_COUNT, "one dataref per LiveState value");

// Asked with --efb only, at indices VALUE_COUNT and on, in `EfbValue` order:
// pitch (degrees, nose up positive), roll (degrees, right wing down
// positive), pressure altitude (feet), on ground (0 or 1).
constexpr std::array XPLANE_EFB_DATAREFS{
    "sim/flightmodel/position/theta",
    "sim/flightmodel/position/phi",
    "sim/flightmodel2/position/pressure_altitude",
    "sim/flightmodel/failures/onground_any",
};
static_assert(XPLANE_EFB_DATAREFS.size() == EFB_VALUE_COUNT, "one dataref per EFB value");

constexpr std::size_t XPLANE_REQUEST_SIZE = 413;  // "RREF", 0, frequency, index, 400-byte path
constexpr std::size_t XPLANE_PATH_SIZE = 400;
constexpr std::size_t XPLANE_RECEIVE_BUFFER = 2048;
constexpr int XPLANE_RECEIVE_TIMEOUT_MS = 1000;
constexpr auto XPLANE_RESUBSCRIBE_AFTER = std::chrono::seconds(3);

// One "RREF" request: frequency and index as little-endian signed 32-bit, the
// path zero-padded (and cut) to 400 bytes.
std::string build_rref_request(std::int32_t frequency, std::int32_t index, const std::string& path);

// The request for dataref `index` (below VALUE_COUNT, or with `efb` below
// VALUE_COUNT + EFB_VALUE_COUNT) at XPLANE_REQUEST_HZ.
std::string build_subscription_request(std::size_t index);

// How many datarefs are asked: the values', and with `efb` the EFB ones too.
constexpr std::size_t subscription_count(bool efb) { return VALUE_COUNT + (efb ? EFB_VALUE_COUNT : 0); }

// One subscription pass: the value requests in index order (with `efb` the
// EFB ones after them), then the traffic requests (build_tcas_requests at
// TCAS_REQUEST_HZ).
constexpr std::size_t subscription_pass_size(bool efb) { return subscription_count(efb) + TCAS_REQUEST_COUNT; }
constexpr std::size_t XPLANE_PASS_SIZE = subscription_pass_size(false);
std::vector<std::string> build_subscription_pass(bool efb = false);
// The traffic requests go out in groups this far apart, so that X-Plane's
// receive buffer never takes a whole pass at once.
constexpr std::size_t XPLANE_PASS_GROUP = 32;
constexpr auto XPLANE_PASS_GROUP_GAP = std::chrono::milliseconds(20);

// The requests that end the subscription: frequency 0, each naming its index
// and path, the values' first (eight, or twelve with `efb`), then the
// traffic's, in index order. Sent when the user ends the bridge.
std::vector<std::string> build_unsubscription_requests(bool efb = false);

// Where the feed's socket is bound for `target`: 127.0.0.1 when X-Plane is on
// this machine (a loopback address), so that nothing from another machine
// can reach the socket; otherwise any interface. The system picks the port.
platform::Ipv4Address local_udp_address(platform::Ipv4Address target);

// Whether a datagram from `from` comes from X-Plane: its address is the
// target's. The port is not compared, since X-Plane need not answer from the
// port it receives on.
bool from_xplane(platform::Ipv4Address from, platform::Ipv4Address target);

// Applies one datagram to the locked record. A datagram of at least 5 bytes
// headed "RREF" is accepted: the simulator switches to xp (values cleared if
// another one wrote last), every complete record with a value's index is
// stored (an EFB dataref's index into `LiveState::efb`), and the update is
// stamped. Anything else leaves `record` untouched.
// Returns whether the datagram was accepted.
bool apply_xplane_reply(LiveState& record, const std::uint8_t* data, std::size_t size, Instant now,
                        WallClock::time_point wall_now);

// True when a subscription pass is due: no datagram yet or the last one more
// than 3 s ago, and the last pass more than 3 s ago (exactly 3 s is not more).
bool resubscribe_due(std::optional<Instant> last_packet, Instant last_pass, Instant now);

// Thread body; owns `socket` (bound, no options set) and reads the time from
// `clock`. Only datagrams from_xplane count; every other one is ignored like
// any datagram that is not data. Arms the farewell once the first
// subscription pass has gone out. With `efb` the EFB datarefs are asked too.
// Never returns.
void run_xplane_feed(platform::Ipv4Address target, platform::Socket socket, SharedState holder,
                     LoopClock& clock = real_loop_clock(), bool efb = false);

}  // namespace tavrik
