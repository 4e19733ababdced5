// A stand-in for X-Plane on the wire: answers "RREF" dataref subscriptions on
// UDP with a scripted flight, so the bridge can be shown and tested without a
// simulator. Type p and Enter to pause or resume it.
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "flight_model.h"
#include "platform/platform.h"
#include "rref_server.h"

namespace tavrik {

namespace {

using platform::ConsoleStream;

constexpr auto IDLE_TICK = std::chrono::milliseconds(50);  // how soon a pause or the script is noticed
constexpr std::size_t THREAD_STACK = 256 * 1024;

// What the receiving, sending and keyboard threads share; guarded by `mutex`.
struct Standin {
  std::mutex mutex;
  Subscriptions subscriptions;
  FlightClock clock;
  bool paused = false;
};

void print(const std::string& line) { platform::write_console(ConsoleStream::out, line); }

// Pauses or resumes; prints a line when that changes anything.
void set_paused(Standin& standin, bool paused) {
  {
    std::lock_guard<std::mutex> lock(standin.mutex);
    if (standin.paused == paused) return;
    standin.paused = paused;
    if (paused)
      pause_clock(standin.clock, StandinClock::now());
    else
      resume_clock(standin.clock, StandinClock::now());
  }
  print(paused ? "… paused: the stand-in sends nothing now (type p and Enter to resume)\n"
               : "✓ resumed: the stand-in sends data again\n");
}

void toggle_paused(Standin& standin) {
  bool paused;
  {
    std::lock_guard<std::mutex> lock(standin.mutex);
    paused = standin.paused;
  }
  set_paused(standin, !paused);
}

std::string describe(platform::Ipv4Address from, const RrefRequest& request, RequestOutcome outcome) {
  std::string who = "→ " + platform::format_address(from);
  std::string what = " [" + std::to_string(request.index) + "] " + request.path;
  if (outcome == RequestOutcome::cancelled) return who + " cancelled" + what + "\n";
  return who + " subscribed" + what + " at " + std::to_string(request.frequency) + " Hz\n";
}

void receive_requests(const platform::Socket& socket, Standin& standin) {
  std::vector<std::uint8_t> buffer(2048);
  for (;;) {
    platform::Ipv4Address from;
    platform::IoResult got = platform::receive_from(socket, buffer.data(), buffer.size(), &from);
    if (got.failed()) {
      // Windows reports a reply to a closed port this way; nothing to do but go on.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    auto request = parse_rref_request(buffer.data(), got.bytes);
    if (!request) continue;
    RequestOutcome outcome;
    {
      std::lock_guard<std::mutex> lock(standin.mutex);
      outcome = apply_request(standin.subscriptions, from, *request, StandinClock::now());
    }
    if (outcome == RequestOutcome::subscribed || outcome == RequestOutcome::cancelled)
      print(describe(from, *request, outcome));
  }
}

void read_keyboard(Standin& standin) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "p" || line == "P" || line == "p\r" || line == "P\r") toggle_paused(standin);
  }
}

// Replies due now, or none while paused; also when to look again.
std::vector<OutgoingReply> take_due_replies(Standin& standin, StandinInstant now, StandinInstant* wake) {
  std::lock_guard<std::mutex> lock(standin.mutex);
  *wake = now + IDLE_TICK;  // while paused, due times stay in the past
  if (standin.paused) return {};
  double seconds = flight_seconds(standin.clock, now);
  AircraftState aircraft = fly(seconds);
  std::vector<TcasTarget> traffic = standin_traffic(aircraft, seconds);
  auto replies = due_replies(standin.subscriptions, aircraft, now, &traffic);
  *wake = next_reply_time(standin.subscriptions, *wake);
  return replies;
}

[[noreturn]] void send_replies(const platform::Socket& socket, Standin& standin, const StandinOptions& options) {
  StandinInstant started = StandinClock::now();
  bool scripted = false;
  for (;;) {
    StandinInstant now = StandinClock::now();
    bool wanted = scheduled_pause(options, std::chrono::duration<double>(now - started).count());
    if (wanted != scripted) {
      set_paused(standin, wanted);
      scripted = wanted;
    }
    StandinInstant wake;
    for (const OutgoingReply& reply : take_due_replies(standin, now, &wake))
      platform::send_to(socket, reply.bytes.data(), reply.bytes.size(), reply.to);
    std::this_thread::sleep_until(wake);
  }
}

[[noreturn]] void fail(const std::string& line) {
  platform::write_console(ConsoleStream::err, line);
  platform::exit_process(1);
}

}  // namespace

int run_standin(int argc, char** argv) {
  std::string error;
  auto options = parse_standin_options(platform::process_arguments(argc, argv), &error);
  if (!options) fail("✗ " + error + "\n" + STANDIN_USAGE);
  if (options->help) {
    print(STANDIN_USAGE);
    return 0;
  }
  int code = 0;
  platform::Socket socket = platform::open_udp(*platform::parse_ipv4(options->address, options->port), &code);
  if (!socket.valid())
    fail("✗ cannot listen on " + options->address + ":" + std::to_string(options->port) + ": " +
         platform::error_text(code) + "\n");
  auto bound = platform::local_address(socket);
  auto standin = std::make_shared<Standin>();
  standin->clock.running_since = StandinClock::now();
  print("✓ X-Plane stand-in on " + platform::format_address(bound.value_or(platform::Ipv4Address{})) +
        ", flying a circuit of " + std::to_string(static_cast<int>(circuit_duration())) +
        " s; type p and Enter to pause or resume\n");
  auto shared_socket = std::make_shared<platform::Socket>(std::move(socket));
  if (!platform::start_detached_thread([shared_socket, standin] { receive_requests(*shared_socket, *standin); },
                                       THREAD_STACK) ||
      !platform::start_detached_thread([standin] { read_keyboard(*standin); }, THREAD_STACK))
    fail("✗ cannot start a thread\n");
  send_replies(*shared_socket, *standin, *options);
}

}  // namespace tavrik

int main(int argc, char** argv) { return tavrik::run_standin(argc, argv); }
