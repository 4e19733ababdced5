#include "main/command_line.h"

#include <algorithm>

#include "platform/platform.h"
#include "server/lan_access.h"

namespace tavrik {
namespace {

bool contains(const std::vector<std::string>& args, const char* word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

bool is_option(const std::string& arg) { return arg.size() >= 2 && arg[0] == '-' && arg[1] == '-'; }

// Takes "--port <value>" out of `args` and returns the port it gives.
std::uint16_t take_port(std::vector<std::string>& args) {
  std::uint16_t port = DEFAULT_HTTP_PORT;
  auto it = std::find(args.begin(), args.end(), "--port");
  if (it == args.end() || it + 1 == args.end()) return port;
  if (!parse_port(*(it + 1), &port)) port = DEFAULT_HTTP_PORT;
  args.erase(it, it + 2);
  return port;
}

// Splits "name:port" when the text has exactly one colon.
void take_host(const std::string& text, Options& options) {
  std::size_t colon = text.find(':');
  options.xplane_host = text;
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return;
  options.xplane_host = text.substr(0, colon);
  std::uint16_t port = 0;
  if (parse_port(text.substr(colon + 1), &port) && port != 0) {
    options.xplane_port = port;
  } else if (options.usage_error.empty()) {  // a bad key was said first
    options.usage_error =
        "✗ bad X-Plane port in '" + text + "': give a number from 1 to 65535, as in 192.168.1.20:49000\n";
  }
}

// Takes "--lan-key <value>" out of `args`. False when "--lan-key" has no value.
bool take_lan_key(std::vector<std::string>& args, std::string* key) {
  auto it = std::find(args.begin(), args.end(), "--lan-key");
  if (it == args.end()) return true;
  if (it + 1 == args.end()) return false;
  *key = *(it + 1);
  args.erase(it, it + 2);
  return true;
}

// Takes "--efb" and its address list, if one follows, out of `args`.
void take_efb(std::vector<std::string>& args, Options& options) {
  auto it = std::find(args.begin(), args.end(), "--efb");
  if (it == args.end()) return;
  options.efb = true;
  if (it + 1 == args.end() || (it + 1)->empty() || (*(it + 1))[0] == '-') return;
  std::string list = *(it + 1);
  args.erase(it + 1);
  auto addresses = parse_efb_addresses(list);
  if (addresses) {
    options.efb_addresses = *addresses;
  } else if (options.usage_error.empty()) {
    options.usage_error = "✗ bad EFB address in '" + list +
                          "': give the tablet's IPv4 address, as in 192.168.1.40, several separated by commas\n";
  }
}

}  // namespace

std::optional<std::vector<std::uint32_t>> parse_efb_addresses(const std::string& text) {
  std::vector<std::uint32_t> addresses;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    auto address = platform::parse_ipv4(item, 0);
    if (!address || address->ip == 0 || address->ip == 0xFFFFFFFF || (address->ip >> 28) == 0xE) return std::nullopt;
    addresses.push_back(address->ip);
    if (comma == std::string::npos) return addresses;
    start = comma + 1;
  }
}

bool parse_port(const std::string& text, std::uint16_t* port) {
  std::size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    if (value > 65535) return false;
  }
  *port = static_cast<std::uint16_t>(value);
  return true;
}

Options parse_command_line(std::vector<std::string> args) {
  Options options;
  options.port = take_port(args);
  bool key_given = contains(args, "--lan-key");
  bool key_has_value = take_lan_key(args, &options.lan_key);
  if (contains(args, "--help") || contains(args, "-h")) {
    options.help = true;
    return options;
  }
  options.lan = contains(args, "--lan");
  take_efb(args, options);
  if (!key_has_value || (key_given && !is_valid_key(options.lan_key)))
    options.usage_error = "✗ --lan-key needs a key of at least " + std::to_string(MIN_KEY_LENGTH) +
                          " characters, each a letter A-Z or a-z, a digit, or one of - . _ ~\n";
  else if (key_given && !options.lan)
    options.usage_error = "✗ --lan-key works only with --lan\n";
  bool xplane_flag = contains(args, "--xplane");
  bool msfs_flag = contains(args, "--msfs");
  args.erase(std::remove_if(args.begin(), args.end(), is_option), args.end());
  if (!args.empty()) take_host(args.front(), options);
  bool xplane_only = xplane_flag && !msfs_flag;
  options.run_xplane = xplane_flag || !msfs_flag;
  options.run_msfs = !xplane_only;
  options.sim_label = xplane_only ? "X-Plane" : (options.run_xplane ? "X-Plane or MSFS" : "MSFS");
  return options;
}

}  // namespace tavrik
