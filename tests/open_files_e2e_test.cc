// The built bridge and its open-file limit (Linux: the limit is per process
// and the bridge needs two descriptors per client).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/process_stats.h"
#include "support/test_support.h"
#include "xplane/xplane_feed.h"

namespace tavrik {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Limit {
  std::string soft, hard;
};

// "Max open files" of /proc/<pid>/limits.
Limit open_file_limit(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    Limit limit;
    fields >> limit.soft >> limit.hard;
    return limit;
  }
  return {};
}

// User and system time the process has used so far.
Clock::duration cpu_time(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long long user = 0, system = 0;
  fields >> user >> system;
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK))));
}

// The limit under which exactly `free` descriptor numbers are unused: a new
// descriptor takes the lowest free number, and numbers from the limit up are
// refused, whatever the process holds above it.
int limit_leaving_free(int pid, int free) {
  std::set<int> held;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    held.insert(std::stoi(entry.path().filename().string()));
  int limit = 0;
  for (int unused = 0; unused < free || held.count(limit); ++limit) unused += !held.count(limit);
  return limit;
}

TEST(OpenFilesE2eTest, SoftLimitIsRaisedToTheHardLimitAtStart) {
  rlimit own{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
  ASSERT_GT(own.rlim_max, 64u);
  rlimit low = own;
  low.rlim_cur = 64;  // what the bridge inherits
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  RunningBridge bridge = start_bridge({"--msfs"});
  setrlimit(RLIMIT_NOFILE, &own);
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  Limit limit = open_file_limit(bridge.process->pid());
  std::string hard = own.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(own.rlim_max);
  EXPECT_EQ(limit.soft, hard);
  EXPECT_EQ(limit.hard, hard);
}

// More clients than descriptors: the accept loop waits for one to be freed
// instead of spinning, the feed and the console go on, and once the clients
// leave the bridge serves again.
TEST(OpenFilesE2eTest, OutOfDescriptorsTheAcceptLoopWaitsAndRecovers) {
  std::string ip;
  platform::Socket xplane = open_free_loopback_udp(XPLANE_UDP_PORT, &ip);
  ASSERT_TRUE(xplane.valid());
  RunningBridge bridge = start_bridge({"--xplane", ip});
  ASSERT_NE(bridge.port, 0) << bridge.process->err();
  const int pid = bridge.process->pid();
  platform::set_receive_timeout(xplane, 5000);
  char request[2048];
  platform::Ipv4Address to;
  ASSERT_FALSE(platform::receive_from(xplane, request, sizeof request, &to).failed());
  ASSERT_TRUE(bridge.process->wait_for_out("… waiting for X-Plane", 5s));

  // Room for four more descriptors: two clients.
  auto stats = read_process_stats(pid);
  ASSERT_TRUE(stats.has_value());
  rlimit tight{static_cast<rlim_t>(limit_leaving_free(pid, 4)), 0};
  tight.rlim_max = tight.rlim_cur;
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
  std::vector<platform::Socket> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(connect_loopback(bridge.port));
    platform::send_all(clients.back(), "GET /stream HTTP/1.1\r\n\r\n");
  }
  std::this_thread::sleep_for(500ms);

  auto cpu_before = cpu_time(pid);
  auto wall_before = Clock::now();
  const std::string reply = rref_reply({{0, 47.5f}, {1, 8.25f}});
  for (auto end = Clock::now() + 2s; Clock::now() < end; std::this_thread::sleep_for(200ms))
    platform::send_to(xplane, reply.data(), reply.size(), to);
  auto cpu = cpu_time(pid) - cpu_before;
  auto wall = Clock::now() - wall_before;
  std::printf("[ cpu      ] %lld ms of CPU in %lld ms while out of descriptors\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(cpu).count()),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));
  EXPECT_LT(cpu, wall / 8);  // a spinning loop would burn most of a core
  EXPECT_TRUE(bridge.process->wait_for_out("✓ receiving data from X-Plane\n", 3s)) << bridge.process->out();
  auto held = read_process_stats(pid);
  std::printf("[ fds      ] %d before, %d held, limit %s\n", stats->open_files, held ? held->open_files : -1,
              open_file_limit(pid).soft.c_str());
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->open_files, stats->open_files + 4);

  clients.clear();  // the streams end at their next write and give their descriptors back
  std::string body;
  for (auto end = Clock::now() + 10s; Clock::now() < end && body.find("\"sim\":\"xp\"") == std::string::npos;) {
    platform::send_to(xplane, reply.data(), reply.size(), to);
    body = state_body(bridge.port);
  }
  EXPECT_NE(body.find("\"lat\":47.5,\"lon\":8.25}"), std::string::npos) << body;
}

}  // namespace

}  // namespace tavrik
