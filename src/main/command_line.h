// The command line: "tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]]
// [--efb [ADDRESS,...]]".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

constexpr std::uint16_t DEFAULT_HTTP_PORT = 49080;
constexpr const char* DEFAULT_XPLANE_HOST = "127.0.0.1";
constexpr const char* USAGE_LINE =
    "usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]] [--efb [ADDRESS,...]]\n";

// What the user asked for.
struct Options {
  bool help = false;  // "--help" or "-h" seen: print the usage line only
  std::uint16_t port = DEFAULT_HTTP_PORT;
  std::string xplane_host = DEFAULT_XPLANE_HOST;
  std::optional<std::uint16_t> xplane_port;  // from "host:port"; absent: X-Plane's usual port
  std::string usage_error;                   // a "✗ " line when the arguments cannot be used
  bool run_xplane = true;
  bool run_msfs = true;
  const char* sim_label = "X-Plane or MSFS";  // what the status monitor waits for
  bool lan = false;                           // "--lan": other machines may connect, with the key
  std::string lan_key;                        // "--lan-key KEY"; empty: a new random key
  bool efb = false;                           // "--efb": the aircraft to EFB apps on the network
  std::vector<std::uint32_t> efb_addresses;   // "--efb A,B": to these only (host byte order)
};

// Parses the arguments after the program's name. Values of "--port" that do
// not parse fall back to the default, unknown "--" options are ignored. The
// host may end in ":port" (1 to 65535) when it holds no other colon (an IPv6
// literal keeps all of its colons). A bad port there, or a bad key (the
// user's own, never replaced by a default), sets `usage_error`; so does a bad
// address after "--efb" (the argument after it is its list unless it begins
// with "-").
Options parse_command_line(std::vector<std::string> args);

// A comma-separated list of dotted IPv4 addresses of single machines (not
// 0.0.0.0, broadcast or multicast); nothing when any item is not one.
std::optional<std::vector<std::uint32_t>> parse_efb_addresses(const std::string& text);

// "+"? digits, 0 to 65535, leading zeros allowed; nothing else.
bool parse_port(const std::string& text, std::uint16_t* port);

}  // namespace tavrik
