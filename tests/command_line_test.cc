#include "main/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

namespace tavrik {

namespace {

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

TEST(CommandLineTest, Table) {
  struct Case {
    std::vector<std::string> args;
    bool help;
    int port;
    const char* host;
    bool xplane, msfs;
    const char* label;
    std::optional<int> xplane_port = std::nullopt;  // from "host:port"
    std::string error = "";                         // the usage error's line
  } cases[] = {
      {words(""), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 8080"), false, 8080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port +8080"), false, 8080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 08080"), false, 8080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 0"), false, 0, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 65535"), false, 65535, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 65536"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 99999999999999999999"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port abc"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port -1"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port +"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {{"--port", ""}, false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {{"--port", " 80"}, false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port --xplane"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port -h"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--port 1 --port 2"), false, 1, "2", true, true, "X-Plane or MSFS"},
      {words("--port=8080"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("-p 8080"), false, 49080, "-p", true, true, "X-Plane or MSFS"},
      {words("host -h"), true, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--xplane --help"), true, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--HELP"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--xplane"), false, 49080, "127.0.0.1", true, false, "X-Plane"},
      {words("--xplane --xplane 10.0.0.5"), false, 49080, "10.0.0.5", true, false, "X-Plane"},
      {words("--msfs somehost"), false, 49080, "somehost", false, true, "MSFS"},
      {words("--xplane --msfs"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("--msfs --xplane"), false, 49080, "127.0.0.1", true, true, "X-Plane or MSFS"},
      {words("first second"), false, 49080, "first", true, true, "X-Plane or MSFS"},
      {words("-- --other host"), false, 49080, "host", true, true, "X-Plane or MSFS"},
      {words("host --port 8080"), false, 8080, "host", true, true, "X-Plane or MSFS"},
      // X-Plane's port after the host; a host with more than one colon is an IPv6 literal, port and all.
      {words("xp.lan:49001"), false, 49080, "xp.lan", true, true, "X-Plane or MSFS", 49001},
      {words("192.168.1.20:1 --xplane"), false, 49080, "192.168.1.20", true, false, "X-Plane", 1},
      {words("127.0.0.1:65535 --port 8080"), false, 8080, "127.0.0.1", true, true, "X-Plane or MSFS", 65535},
      {words("h:+049000"), false, 49080, "h", true, true, "X-Plane or MSFS", 49000},
      {words(":49001"), false, 49080, "", true, true, "X-Plane or MSFS", 49001},
      {words("::1"), false, 49080, "::1", true, true, "X-Plane or MSFS"},
      {words("::1:49000"), false, 49080, "::1:49000", true, true, "X-Plane or MSFS"},
      {words("[::1]:49000"), false, 49080, "[::1]:49000", true, true, "X-Plane or MSFS"},
      {words("first second:0"), false, 49080, "first", true, true, "X-Plane or MSFS"},
      {words("h:0"), false, 49080, "h", true, true, "X-Plane or MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:0': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {words("h:65536"), false, 49080, "h", true, true, "X-Plane or MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:65536': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {words("h:"), false, 49080, "h", true, true, "X-Plane or MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {words("h:abc --msfs"), false, 49080, "h", false, true, "MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:abc': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {words("h:-1"), false, 49080, "h", true, true, "X-Plane or MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:-1': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {{"h: 80"},
       false,
       49080,
       "h",
       true,
       true,
       "X-Plane or MSFS",
       std::nullopt,
       "✗ bad X-Plane port in 'h: 80': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
      {words("h:99999999999999999999"), false, 49080, "h", true, true, "X-Plane or MSFS", std::nullopt,
       "✗ bad X-Plane port in 'h:99999999999999999999': give a number from 1 to 65535, as in 192.168.1.20:49000\n"},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "[" + a + "]";
    Options options = parse_command_line(c.args);
    EXPECT_EQ(options.help, c.help) << name;
    EXPECT_EQ(options.port, c.port) << name;
    if (c.help) continue;
    EXPECT_EQ(options.xplane_host, c.host) << name;
    EXPECT_EQ(options.run_xplane, c.xplane) << name;
    EXPECT_EQ(options.run_msfs, c.msfs) << name;
    EXPECT_STREQ(options.sim_label, c.label) << name;
    EXPECT_EQ(options.xplane_port, c.xplane_port) << name;
    EXPECT_EQ(options.usage_error, c.error) << name;
  }
}

TEST(CommandLineTest, LanAndItsKey) {
  const std::string bad_key =
      "✗ --lan-key needs a key of at least 16 characters, each a letter A-Z or a-z, a digit, or one of - . _ ~\n";
  struct Case {
    std::vector<std::string> args;
    bool lan;
    std::string key, error;
    const char* host = "127.0.0.1";
  } cases[] = {
      {words(""), false, "", ""},
      {words("--lan"), true, "", ""},
      {words("host --lan --xplane"), true, "", "", "host"},
      {words("--lan --lan-key abcdefghijklmnop"), true, "abcdefghijklmnop", ""},
      {words("--lan-key Az09-._~Az09-._~ host --lan"), true, "Az09-._~Az09-._~", "", "host"},
      {words("--lan --lan-key abcdefghijklmno"), true, "abcdefghijklmno", bad_key},
      {words("--lan --lan-key abcdefghijklmno/"), true, "abcdefghijklmno/", bad_key},
      {words("--lan --lan-key abcdefghijklmnop?"), true, "abcdefghijklmnop?", bad_key},
      {{"--lan", "--lan-key", ""}, true, "", bad_key},
      {words("--lan --lan-key"), true, "", bad_key},
      {words("--lan-key --lan"), false, "--lan", bad_key},  // the option's value, whatever it is
      {words("--lan-key abcdefghijklmnop"), false, "abcdefghijklmnop", "✗ --lan-key works only with --lan\n"},
      {words("--lan --lan-key abcdefghijklmnop --lan-key other"), true, "abcdefghijklmnop", "", "other"},
      {words("--LAN"), false, "", ""},
      {words("--lan=1"), false, "", ""},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "[" + a + "]";
    Options options = parse_command_line(c.args);
    EXPECT_FALSE(options.help) << name;
    EXPECT_EQ(options.lan, c.lan) << name;
    EXPECT_EQ(options.lan_key, c.key) << name;
    EXPECT_EQ(options.usage_error, c.error) << name;
    EXPECT_EQ(options.xplane_host, c.host) << name;
  }
  // Help comes first, before any complaint about the key.
  EXPECT_TRUE(parse_command_line(words("--lan-key short -h")).help);
  EXPECT_TRUE(parse_command_line(words("--help --lan-key")).help);
}

TEST(CommandLineTest, Efb) {
  const std::string bad = "': give the tablet's IPv4 address, as in 192.168.1.40, several separated by commas\n";
  struct Case {
    const char* args;
    bool efb;
    std::vector<std::uint32_t> addresses;
    std::string error = "";
    const char* host = "127.0.0.1";
  } cases[] = {
      {"", false, {}},
      {"--efb", true, {}},
      {"host --efb --xplane", true, {}, "", "host"},
      {"--efb 192.168.1.40", true, {0xC0A80128}},
      {"--efb 10.0.0.2,192.168.1.40 host", true, {0x0A000002, 0xC0A80128}, "", "host"},
      {"--efb host", true, {}, "✗ bad EFB address in 'host" + bad},
      {"--efb 10.0.0.2,", true, {}, "✗ bad EFB address in '10.0.0.2," + bad},
      {"--efb 0.0.0.0", true, {}, "✗ bad EFB address in '0.0.0.0" + bad},
      {"--efb 224.0.0.1", true, {}, "✗ bad EFB address in '224.0.0.1" + bad},
      {"--efb -h", false, {}},  // help
  };
  for (const auto& c : cases) {
    Options options = parse_command_line(words(c.args));
    EXPECT_EQ(options.efb, c.efb) << c.args;
    EXPECT_EQ(options.efb_addresses, c.addresses) << c.args;
    EXPECT_EQ(options.usage_error, c.error) << c.args;
    EXPECT_EQ(options.help ? c.host : options.xplane_host, c.host) << c.args;
  }
}

}  // namespace

}  // namespace tavrik
