// The command line: "tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]]".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrik {

constexpr std::uint16_t DEFAULT_HTTP_PORT = 49080;
constexpr const char* DEFAULT_XPLANE_HOST = "127.0.0.1";
constexpr const char* USAGE_LINE =
    "usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]]\n";

// What the user asked for.
struct Options {
  bool help = false;  // "--help" or "-h" seen: print the usage line only
  std::uint16_t port = DEFAULT_HTTP_PORT;
  std::string xplane_host = DEFAULT_XPLANE_HOST;
  bool run_xplane = true;
  bool run_msfs = true;
  const char* sim_label = "X-Plane or MSFS";  // what the status monitor waits for
  bool lan = false;                           // "--lan": other machines may connect, with the key
  std::string lan_key;                        // "--lan-key KEY"; empty: a new random key
  std::string error;                          // a "✗ " line when the arguments cannot be used
};

// Parses the arguments after the program's name. Values that do not parse
// fall back to their defaults and unknown "--" options are ignored, except
// for the key, which is the user's own: a bad one sets `error`.
Options parse_command_line(std::vector<std::string> args);

// "+"? digits, 0 to 65535, leading zeros allowed; nothing else.
bool parse_port(const std::string& text, std::uint16_t* port);

}  // namespace tavrik
