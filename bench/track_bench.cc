// What the kept track costs the bridge. First the resident memory that 24
// hours of track adds, fed on a fake clock much faster than real time (one
// point per simulated second). Then, with that full track in a bridge running
// in this process (the program's own listener and routes on 127.0.0.1), a
// feed that updates at 50 Hz the way the feeds do, and a /stream client: the
// time the feed waits for the lock and the update-to-event latency, first with
// no other client, then while clients fetch /track.gpx in a loop.
//   track_bench <seconds per phase> <gpx clients>
// Prints one JSON line per figure, as bench/run.sh reads them. Linux only
// (resident memory from /proc/self/statm).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "server/listener.h"
#include "state/live_state.h"

namespace tavrik {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * 4096 / (1024.0 * 1024.0);
}

void emit(const std::string& name, double value, const char* unit, const std::string& target, bool ok,
          const std::string& yardstick) {
  std::printf(
      "{\"name\": \"%s\", \"value\": %.3g, \"unit\": \"%s\", \"target\": \"%s\", \"ok\": %s, \"yardstick\": \"%s\"}\n",
      name.c_str(), value, unit, target.c_str(), ok ? "true" : "false", yardstick.c_str());
  std::fflush(stdout);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// One sample the way a feed stores it, on the clocks given.
void store(LiveStateHolder& holder, double lat, Instant now, WallClock::time_point wall) {
  LiveState& record = holder.record;
  record.sim = SimKind::xp;
  record.values[Value::LAT] = lat;
  record.values[Value::LON] = 8.5;
  record.values[Value::ALT] = 432.5;
  mark_updated(record, now, wall);
  record_track_point(holder);
}

// A full day, one point a simulated second, ending an hour ago.
void fill_day(LiveStateHolder& holder) {
  auto wall_start = WallClock::now() - std::chrono::hours(25);
  Instant start = MonotonicClock::now() - std::chrono::hours(25);
  for (std::size_t s = 0; s < TRACK_MAX_POINTS + 600; ++s) {
    std::lock_guard<std::mutex> lock(holder.mutex);
    store(holder, 47.0 + static_cast<double>(s) * 1e-5, start + std::chrono::seconds(s),
          wall_start + std::chrono::seconds(s));
  }
}

std::string fetch(std::uint16_t port, const std::string& request) {
  int error = 0;
  platform::Socket socket = platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
  if (!socket.valid() || !platform::send_all(socket, request)) return {};
  std::string got;
  char buffer[65536];
  for (;;) {
    platform::IoResult r = platform::receive(socket, buffer, sizeof buffer);
    if (r.failed() || r.bytes == 0) return got;
    got.append(buffer, r.bytes);
  }
}

struct Phase {
  std::vector<double> lock_wait_us;
  std::vector<double> latency_ms;
  long gpx_fetches = 0;
  std::size_t gpx_bytes = 0;
};

// The feed, a stream client and `gpx_clients` fetchers for `seconds`.
Phase run_phase(LiveStateHolder& holder, std::uint16_t port, int seconds, int gpx_clients) {
  Phase phase;
  std::atomic<bool> running{true};
  std::mutex sent_mutex;
  std::deque<std::pair<std::string, Clock::time_point>> sent;  // lat text, when the feed stored it; oldest first

  int error = 0;
  platform::Socket stream = platform::connect_tcp(*platform::parse_ipv4("127.0.0.1", port), &error);
  platform::send_all(stream, std::string("GET /stream HTTP/1.1\r\n\r\n"));
  platform::set_receive_timeout(stream, 500);
  std::thread reader([&] {
    std::string pending;
    char buffer[8192];
    while (running) {
      platform::IoResult r = platform::receive(stream, buffer, sizeof buffer);
      if (r.failed() || r.bytes == 0) continue;
      auto at = Clock::now();
      pending.append(buffer, r.bytes);
      for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos; pending.erase(0, end + 2)) {
        std::size_t lat = pending.find("\"lat\":");
        if (lat == std::string::npos || lat > end) continue;
        std::string text = pending.substr(lat + 6, pending.find(',', lat) - lat - 6);
        std::lock_guard<std::mutex> lock(sent_mutex);
        auto found = std::find_if(sent.begin(), sent.end(), [&](const auto& update) { return update.first == text; });
        if (found == sent.end()) continue;
        // This update and every older one not yet seen arrive with this event.
        for (auto it = sent.begin(); it != std::next(found); ++it)
          phase.latency_ms.push_back(std::chrono::duration<double, std::milli>(at - it->second).count());
        sent.erase(sent.begin(), std::next(found));
      }
    }
  });
  std::vector<std::thread> fetchers;
  std::atomic<long> fetches{0};
  std::atomic<std::size_t> bytes{0};
  for (int i = 0; i < gpx_clients; ++i)
    fetchers.emplace_back([&] {
      while (running) {
        std::string got = fetch(port, "GET /track.gpx HTTP/1.1\r\n\r\n");
        if (got.ends_with("</gpx>\n")) {
          ++fetches;
          bytes = got.size();
        }
      }
    });
  auto end = Clock::now() + std::chrono::seconds(seconds);
  for (long k = 0; Clock::now() < end; ++k) {
    double lat = 46.0 + static_cast<double>(k % 100000) * 1e-6;
    std::string text;
    append_number(text, lat);
    auto before = Clock::now();
    {
      std::lock_guard<std::mutex> lock(holder.mutex);
      phase.lock_wait_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      store(holder, lat, MonotonicClock::now(), WallClock::now());
    }
    {
      std::lock_guard<std::mutex> lock(sent_mutex);
      sent.emplace_back(text, before);
    }
    std::this_thread::sleep_for(20ms);
  }
  running = false;
  reader.join();
  for (auto& fetcher : fetchers) fetcher.join();
  phase.gpx_fetches = fetches;
  phase.gpx_bytes = bytes;
  return phase;
}

}  // namespace

int run_track_bench(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  int gpx_clients = argc > 2 ? std::atoi(argv[2]) : 2;
  SharedState holder = make_shared_state();
  double before = resident_mib();
  fill_day(*holder);
  double grown = resident_mib() - before;
  char text[160];
  std::snprintf(text, sizeof text, "%zu points held; %.2f MiB before, %.2f MiB after", holder->track.size, before,
                before + grown);
  emit("track: resident memory added by 24 h of track", grown, "MiB", "<= 4 MiB", grown <= 4.0, text);

  std::string failure;
  platform::Socket listener = open_listener(0, false, &failure);
  if (!listener.valid()) {
    std::fprintf(stderr, "track_bench: %s", failure.c_str());
    return 1;
  }
  std::uint16_t port = platform::local_address(listener)->port;
  std::thread([&listener, holder] { run_accept_loop(listener, holder); }).detach();

  Phase quiet = run_phase(*holder, port, seconds, 0);
  Phase loaded = run_phase(*holder, port, seconds, gpx_clients);
  if (loaded.gpx_fetches == 0 || loaded.latency_ms.empty() || quiet.latency_ms.empty()) {
    std::fprintf(stderr, "track_bench: no /track.gpx answer or no stream event\n");
    return 1;
  }
  double wait_quiet = percentile(quiet.lock_wait_us, 0.99), wait_loaded = percentile(loaded.lock_wait_us, 0.99);
  std::snprintf(text, sizeof text,
                "no reader: %.1f us; max while loaded %.1f us; %d clients, %.1f full GPX/s of %zu bytes", wait_quiet,
                percentile(loaded.lock_wait_us, 1.0), gpx_clients, static_cast<double>(loaded.gpx_fetches) / seconds,
                loaded.gpx_bytes);
  emit("track: feed lock wait p99 while /track.gpx of a full track is fetched", wait_loaded, "us", "< 1000 us",
       wait_loaded < 1000, text);
  double latency_quiet = percentile(quiet.latency_ms, 0.99), latency_loaded = percentile(loaded.latency_ms, 0.99);
  std::snprintf(text, sizeof text, "no reader: %.1f ms; %zu / %zu events", latency_quiet, quiet.latency_ms.size(),
                loaded.latency_ms.size());
  emit("track: update latency to /stream p99 while /track.gpx is fetched", latency_loaded, "ms", "<= 200 ms",
       latency_loaded <= 200, text);
  std::fflush(stdout);
  std::_Exit(0);  // the accept loop never returns
}

}  // namespace tavrik

int main(int argc, char** argv) { return tavrik::run_track_bench(argc, argv); }
