#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <set>
#include <thread>
#include <tuple>

#include "support/test_support.h"

namespace tavrik {

namespace {

using platform::Ipv4Address;

TEST(PlatformTest, AddressesAndResolution) {
  EXPECT_EQ(platform::format_address({0x7F000001, 49000}), "127.0.0.1:49000");
  EXPECT_EQ(platform::resolve_ipv4("10.1.2.3", 49000), (Ipv4Address{0x0A010203, 49000}));
  EXPECT_EQ(platform::resolve_ipv4("::1", 49000), std::nullopt);
  EXPECT_EQ(platform::resolve_ipv4("no-such-host.invalid", 49000), std::nullopt);
  EXPECT_EQ(platform::parse_ipv4("localhost", 1), std::nullopt);
}

TEST(PlatformTest, InterfacesIncludeTheLoopbackOne) {
  auto addresses = platform::interface_addresses();
  auto loopback = std::find_if(addresses.begin(), addresses.end(), [](auto a) { return a.ip == 0x7F000001; });
  ASSERT_NE(loopback, addresses.end());
  EXPECT_TRUE(loopback->up);
  EXPECT_TRUE(loopback->loopback);
}

TEST(PlatformTest, SecureRandomBytesDifferEveryTime) {
  // Not a test of quality: that the bytes come, fill the buffer and change.
  std::set<std::string> seen;
  std::array<std::set<char>, 16> per_position;
  for (int draw = 0; draw < 64; ++draw) {
    std::string bytes(16, '\0');
    int error = 0;
    ASSERT_TRUE(platform::secure_random_bytes(bytes.data(), bytes.size(), &error)) << platform::error_text(error);
    seen.insert(bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) per_position[i].insert(bytes[i]);
  }
  EXPECT_EQ(seen.size(), 64u);
  for (const auto& values : per_position) EXPECT_GT(values.size(), 16u);  // about 57 expected
}

TEST(PlatformTest, ErrorTextIsNeverEmpty) {
  for (int code : {1, 98, 10048, 10054, 10060, 123456}) {
    std::string text = platform::error_text(code);
    std::string suffix = " (os error " + std::to_string(code) + ")";
    ASSERT_GT(text.size(), suffix.size()) << text;
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    EXPECT_NE(text[0], ' ');
    EXPECT_EQ(text.find('\n'), std::string::npos);
  }
}

TEST(PlatformTest, UdpOversizeDatagramIsAnError) {
  int error = 0;
  auto loopback = *platform::parse_ipv4("127.0.0.1", 0);
  platform::Socket a = platform::open_udp(loopback, &error);
  platform::Socket b = platform::open_udp(loopback, &error);
  ASSERT_TRUE(a.valid() && b.valid());
  platform::set_receive_timeout(b, 2000);
  Ipv4Address to = *platform::local_address(b);
  char buffer[2048];
  // Too large by far and by one byte: errors. Exactly the buffer's size: data.
  for (std::size_t size : {std::size_t{3000}, sizeof buffer + 1, sizeof buffer}) {
    std::string datagram(size, 'x');
    ASSERT_FALSE(platform::send_to(a, datagram.data(), datagram.size(), to).failed());
    platform::IoResult got = platform::receive_from(b, buffer, sizeof buffer, nullptr);
    EXPECT_EQ(got.failed(), size > sizeof buffer) << size;
    EXPECT_EQ(got.bytes, size > sizeof buffer ? 0 : size) << size;
  }
  ASSERT_FALSE(platform::send_to(a, "RREF!", 5, to).failed());
  Ipv4Address from;
  platform::IoResult r = platform::receive_from(b, buffer, sizeof buffer, &from);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.bytes, 5u);
  EXPECT_EQ(from, *platform::local_address(a));
}

TEST(PlatformTest, TcpShutdownIsEndOfDataAndTimeoutIsReported) {
  int error = 0;
  platform::Socket listener = platform::open_tcp_listener(*platform::parse_ipv4("127.0.0.1", 0), 8, &error);
  ASSERT_TRUE(listener.valid());
  platform::Socket client = platform::connect_tcp(*platform::local_address(listener), &error);
  Ipv4Address peer;
  platform::Socket server = platform::accept_connection(listener, &error, &peer);
  ASSERT_TRUE(client.valid() && server.valid());
  EXPECT_EQ(peer, *platform::local_address(client));
  platform::Socket reader = platform::duplicate_socket(server, &error);
  ASSERT_TRUE(reader.valid());
  // The time-out, set on one handle, governs the other; each system takes it
  // in its own units, a fraction of a second and whole seconds alike.
  using namespace std::chrono_literals;
  char c;
  platform::IoResult r;
  for (auto [timeout, at_least, at_most] :
       {std::tuple{250ms, 200ms, 450ms}, {250ms, 200ms, 450ms}, {250ms, 200ms, 450ms}, {1500ms, 1400ms, 2500ms}}) {
    ASSERT_TRUE(platform::set_receive_timeout(server, static_cast<int>(timeout.count())));
    auto start = std::chrono::steady_clock::now();
    r = platform::receive(reader, &c, 1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.failed() && platform::is_timeout(r.error)) << r.error;
    EXPECT_GE(waited, at_least) << timeout.count();
    EXPECT_LE(waited, at_most) << timeout.count();
  }
  ASSERT_TRUE(platform::send_all(client, "hi"));
  platform::shutdown_send(client);
  std::string got;
  for (;;) {
    r = platform::receive(reader, &c, 1);
    if (r.failed() || r.bytes == 0) break;
    got += c;
  }
  EXPECT_FALSE(r.failed());
  EXPECT_EQ(got, "hi");
}

TEST(PlatformTest, GatheredSendKeepsOrderAcrossPartialWrites) {
  int error = 0;
  platform::Socket listener = platform::open_tcp_listener(*platform::parse_ipv4("127.0.0.1", 0), 8, &error);
  platform::Socket client = platform::connect_tcp(*platform::local_address(listener), &error);
  platform::Socket server = platform::accept_connection(listener, &error);
  ASSERT_TRUE(client.valid() && server.valid());
  // Large enough that the kernel takes it in several partial sends.
  std::string big(4 << 20, 'b');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('A' + i / 4096 % 26);
  std::string_view pieces[] = {"head:", "", big, ":tail"};
  std::string expected = std::string("head:") + big + ":tail";
  std::string got;
  std::thread reader([&] {
    char buffer[65536];
    for (;;) {
      platform::IoResult r = platform::receive(client, buffer, sizeof buffer);
      if (r.failed() || r.bytes == 0) break;
      got.append(buffer, r.bytes);
    }
  });
  EXPECT_TRUE(platform::send_all(server, pieces));
  server.close();
  reader.join();
  EXPECT_TRUE(got == expected) << got.size() << " bytes";
}

TEST(PlatformTest, SendToAClosedPeerFailsWithoutKillingUs) {
  int error = 0;
  platform::Socket listener = platform::open_tcp_listener(*platform::parse_ipv4("127.0.0.1", 0), 8, &error);
  platform::Socket client = platform::connect_tcp(*platform::local_address(listener), &error);
  platform::Socket server = platform::accept_connection(listener, &error);
  client.close();
  std::string chunk(65536, 'x');
  bool ok = true;
  for (int i = 0; i < 100 && ok; ++i) ok = platform::send_all(server, chunk);
  EXPECT_FALSE(ok);
}

TEST(PlatformTest, DetachedThreadRuns) {
  std::atomic<bool> ran{false};
  ASSERT_TRUE(platform::start_detached_thread([&ran] { ran = true; }, 64 * 1024));
  for (int i = 0; i < 200 && !ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(ran);
}

TEST(PlatformTest, PathJoinAndParent) {
  // Windows joins with "\\", keeps either trailing separator, and adds none
  // after a bare drive ("C:x" is relative to that drive's folder); POSIX knows "/" alone.
  struct Case {
    const char *base, *posix, *windows;
  } cases[] = {
      {"", "x", "x"},
      {"base", "base/x", "base\\x"},
      {"base/", "base/x", "base/x"},
      {"base\\", "base\\/x", "base\\x"},
      {"dir\\sub", "dir\\sub/x", "dir\\sub\\x"},
      {"C:", "C:/x", "C:x"},
      {"C:\\", "C:\\/x", "C:\\x"},
      {"C:\\MSFS SDK", "C:\\MSFS SDK/x", "C:\\MSFS SDK\\x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::join_path(c.base, "x"), built_for_windows() ? c.windows : c.posix) << c.base;
  EXPECT_EQ(platform::parent_directory("noslash"), std::nullopt);
  auto exe = platform::executable_path();
  ASSERT_TRUE(exe.has_value());
  EXPECT_TRUE(platform::is_regular_file(*exe));
  EXPECT_FALSE(platform::is_regular_file(*platform::parent_directory(*exe)));
}

}  // namespace

}  // namespace tavrik
