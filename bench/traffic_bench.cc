// What traffic costs the bridge. Each feed's traffic path (the bytes parsed,
// the aircraft stored under the lock) is driven at its own pace with as many
// aircraft as it can bring: X-Plane every TCAS slot asked for (20) twice a
// second, MSFS 200 aircraft answered every 2 s, each as its own message. The
// feed thread's CPU time over the window is its share of a core. Meanwhile a
// client fetches /traffic of the program's own listener in a loop, timing
// each answer.
//   traffic_bench <seconds per feed>
// Prints one JSON line per figure, as bench/run.sh reads them. Linux only
// (the thread's CPU clock).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "msfs/msfs_feed.h"
#include "platform/platform.h"
#include "server/listener.h"
#include "state/live_state.h"
#include "xplane/tcas.h"

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

void emit(const std::string& name, double value, const char* unit, const char* target, bool ok,
          const std::string& yardstick) {
  std::printf(
      "{\"name\": \"%s\", \"value\": %.3g, \"unit\": \"%s\", \"target\": \"%s\", \"ok\": %s, \"yardstick\": \"%s\"}\n",
      name.c_str(), value, unit, target, ok ? "true" : "false", yardstick.c_str());
  std::fflush(stdout);
}

std::string fetch(std::uint16_t port) {
  int error = 0;
  platform::Socket socket = platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
  if (!socket.valid() || !platform::send_all(socket, std::string("GET /traffic HTTP/1.1\r\n\r\n"))) return {};
  std::string got;
  char buffer[65536];
  for (;;) {
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed() || r.bytes == 0) return got;
    got.append(buffer, r.bytes);
  }
}

// One X-Plane reply with every traffic record of the slots, as X-Plane packs them (at most 255 a datagram).
std::vector<std::string> xplane_replies(double phase) {
  std::vector<std::string> replies;
  std::string reply = "RREF,";
  auto add = [&](std::int32_t index, float value) {
    if ((reply.size() - 5) / 8 == 255) replies.push_back(std::exchange(reply, "RREF,"));
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (std::uint32_t word : {static_cast<std::uint32_t>(index), bits})
      for (int i = 0; i < 4; ++i) reply += static_cast<char>(word >> (8 * i));
  };
  for (std::size_t n = 0; n < TCAS_SLOTS; ++n) {
    float values[] = {
        static_cast<float>(0x400000 + n), static_cast<float>(47.4 + 0.01 * n + phase * 1e-4), 8.5f, 1000, 90, 0, 60, 0};
    for (std::size_t field = 0; field < FLIGHT_ID; ++field) add(tcas_index(n, field), values[field]);
    for (std::size_t k = 0; k + FLIGHT_ID < TCAS_FIELDS; ++k) add(tcas_index(n, FLIGHT_ID + k), "SWR123 A320"[k]);
  }
  replies.push_back(reply);
  return replies;
}

// One MSFS answer: a by-type message per aircraft.
std::vector<std::vector<std::uint8_t>> msfs_messages(double phase) {
  std::vector<std::vector<std::uint8_t>> messages;
  for (std::uint32_t object = 1; object <= TRAFFIC_MAX; ++object) {
    std::vector<std::uint8_t> bytes(TRAFFIC_DATA_MIN_SIZE);
    for (auto [at, value] : {std::pair{8u, 9u}, {12u, TRAFFIC_REQUEST_ID}, {16u, object}})
      for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    double numbers[T_NUMBERS] = {47.0 + 0.002 * object + phase * 1e-4, 8.5, 3000, 180, 120, 0, 0, 0};
    std::memcpy(bytes.data() + 40, numbers, sizeof numbers);
    std::memcpy(bytes.data() + 104, "HB-ABC", 6);
    std::memcpy(bytes.data() + 136, "TT:ATCCOM.AC_MODEL_B738.0.text", 30);
    messages.push_back(std::move(bytes));
  }
  return messages;
}

struct Window {
  double cpu_share = 0;  // of one core
  std::vector<double> latency_ms;
  std::size_t bytes = 0;
};

// The feed ticks every `period` for `seconds` while a client fetches /traffic.
Window run_window(std::uint16_t port, int seconds, Clock::duration period, const std::function<void()>& tick) {
  Window window;
  std::atomic<bool> running{true};
  std::thread client([&] {
    while (running) {
      auto start = Clock::now();
      std::string got = fetch(port);
      window.latency_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      window.bytes = got.size();
      std::this_thread::sleep_for(50ms);
    }
  });
  double cpu = 0;
  std::thread feed([&] {
    double begin = thread_cpu_seconds();
    auto next = Clock::now();
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end; next += period) {
      tick();
      std::this_thread::sleep_until(next + period);
    }
    cpu = thread_cpu_seconds() - begin;
  });
  feed.join();
  running = false;
  client.join();
  window.cpu_share = cpu / seconds;
  return window;
}

}  // namespace
}  // namespace tavrik

int main(int argc, char** argv) {
  using namespace tavrik;
  int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  SharedState holder = make_shared_state();
  {
    std::lock_guard<std::mutex> lock(holder->mutex);
    holder->record.values[Value::LAT] = 47.4;
    holder->record.values[Value::LON] = 8.5;
  }
  std::string failure;
  platform::Socket listener = open_listener(0, false, &failure);
  if (!listener.valid()) {
    std::fprintf(stderr, "traffic_bench: %s", failure.c_str());
    return 1;
  }
  std::uint16_t port = platform::local_address(listener)->port;
  std::thread([&listener, holder] { run_accept_loop(listener, holder); }).detach();

  TcasSlots slots;
  double phase = 0;
  Window xp = run_window(port, seconds, 500ms, [&] {
    for (const std::string& reply : xplane_replies(phase += 1)) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(reply.data());
      std::lock_guard<std::mutex> lock(holder->mutex);
      apply_tcas_reply(slots, holder->traffic, data, reply.size(), Clock::now(), 0, OwnPosition{47.4, 8.5});
    }
  });
  Window msfs = run_window(port, seconds, 2s, [&] {
    for (const auto& message : msfs_messages(phase += 1)) {
      MessageReading reading = read_message(message.data(), static_cast<std::uint32_t>(message.size()));
      if (reading.kind == MessageKind::traffic) store_traffic(*holder, reading.traffic);
    }
  });
  if (xp.latency_ms.empty() || msfs.latency_ms.empty() || msfs.bytes < 1000) {
    std::fprintf(stderr, "traffic_bench: no /traffic answer\n");
    return 1;
  }
  char text[160];
  for (auto [name, window, count] : {std::tuple{"X-Plane", &xp, TCAS_SLOTS}, {"MSFS", &msfs, TRAFFIC_MAX}}) {
    std::snprintf(text, sizeof text, "%zu aircraft; /traffic p50 %.2f ms, %zu bytes", count,
                  percentile(window->latency_ms, 0.5), window->bytes);
    emit(std::string("traffic: ") + name + " feed CPU", window->cpu_share * 100, "% of a core", "< 1 %",
         window->cpu_share < 0.01, text);
    emit(std::string("traffic: /traffic latency p99 with ") + name + " traffic", percentile(window->latency_ms, 0.99),
         "ms", "a figure (no target set)", true, text);
  }
  return 0;
}
