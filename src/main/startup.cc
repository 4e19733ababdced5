#include "main/startup.h"

#include "efb/efb_feed.h"
#include "main/command_line.h"
#include "monitor/status_monitor.h"
#include "msfs/msfs_feed.h"
#include "platform/platform.h"
#include "server/listener.h"
#include "state/live_state.h"
#include "tavrik_version.h"
#include "xplane/xplane_feed.h"

namespace tavrik {
namespace {

constexpr const char* BANNER = "Velmara tavrik " TAVRIK_VERSION "\n";
constexpr std::size_t THREAD_STACK_SIZE = 256 * 1024;

using platform::ConsoleStream;

// Starts a long-lived thread of the bridge; one that cannot start is fatal.
void start_thread(const char* what, platform::ThreadBody body, std::size_t stack_bytes = THREAD_STACK_SIZE) {
  if (!platform::start_detached_thread(std::move(body), stack_bytes))
    fatal_stop(std::string("✗ cannot start the ") + what + " thread\n");
}

void start_xplane(const Options& options, const SharedState& holder) {
  auto target = platform::resolve_ipv4(options.xplane_host, options.xplane_port.value_or(XPLANE_UDP_PORT));
  if (!target) fatal_stop("✗ cannot resolve X-Plane host '" + options.xplane_host + "'\n");
  int error = 0;
  platform::Socket socket = platform::open_udp(local_udp_address(*target), &error);
  if (!socket.valid()) fatal_stop("✗ UDP: " + platform::error_text(error) + "\n");
  // Before the feed starts: the handler must see a finished farewell.
  platform::install_farewell(socket, *target, build_unsubscription_requests(options.efb), XPLANE_PASS_GROUP);
  platform::write_console(ConsoleStream::out, "→ X-Plane: asking " + platform::format_address(*target) +
                                                  " for position (" + std::to_string(XPLANE_REQUEST_HZ) + " Hz)\n");
  start_thread("X-Plane", [target = *target, socket = std::move(socket), holder, efb = options.efb]() mutable {
    run_xplane_feed(target, std::move(socket), holder, real_loop_clock(), efb);
  });
}

// With "--efb": the plan, its lines, the sockets, and the thread. A socket
// that cannot be had is said and leaves the rest running.
void start_efb(const Options& options, const SharedState& holder) {
  EfbPlan plan = plan_efb(options.efb_addresses, efb_networks(platform::interface_addresses()));
  std::string lines = efb_plan_lines(plan, options.efb_addresses);
  int error = 0;
  EfbSockets sockets;
  sockets.sender = platform::open_udp({0, 0}, &error);
  if (!sockets.sender.valid() || !platform::set_broadcast(sockets.sender)) {
    platform::write_console(ConsoleStream::out, "… EFB: cannot send: " + platform::error_text(error) + "\n");
    return;
  }
  if (plan.listen && !plan.networks.empty()) {
    sockets.listener = platform::open_udp({0, ANNOUNCEMENT_PORT}, &error);
    if (!sockets.listener.valid())
      lines +=
          "… EFB: cannot listen for ForeFlight on UDP 63093 (" + platform::error_text(error) + "): broadcasts only\n";
  }
  platform::write_console(ConsoleStream::out, lines);
  start_thread("EFB", [plan = std::move(plan), sockets = std::move(sockets), holder]() mutable {
    run_efb_feed(std::move(plan), std::move(sockets), holder);
  });
}

// What connections need to know with "--lan": the key (the user's, or a new
// random one) and the port the listener took.
std::shared_ptr<const LanAccess> lan_access(const Options& options, const platform::Socket& listener) {
  auto lan = std::make_shared<LanAccess>();
  lan->key = options.lan_key;
  if (lan->key.empty()) {
    unsigned char bytes[KEY_RANDOM_BYTES];
    int error = 0;
    if (!platform::secure_random_bytes(bytes, sizeof bytes, &error))
      fatal_stop("✗ cannot make a key for --lan: " + platform::error_text(error) + "\n");
    lan->key = key_from_bytes(bytes);
  }
  auto bound = platform::local_address(listener);
  lan->port = bound ? bound->port : options.port;
  return lan;
}

}  // namespace

void pause_and_exit() {
  platform::write_console(ConsoleStream::err, "Press Enter to close.\n");
  platform::wait_for_line_on_stdin();
  platform::exit_process(1);
}

void fatal_stop(const std::string& line) {
  platform::write_console(ConsoleStream::err, line);
  pause_and_exit();
}

int run_bridge(const std::vector<std::string>& args) {
  Options options = parse_command_line(args);
  if (options.help) {
    platform::write_console(ConsoleStream::out, USAGE_LINE);
    return 0;
  }
  if (!options.usage_error.empty()) fatal_stop(options.usage_error + USAGE_LINE);
  platform::write_console(ConsoleStream::out, BANNER);
  platform::raise_open_file_limit();  // one socket pair per client: room for many map tabs
  SharedState holder = make_shared_state();
  if (options.run_xplane) start_xplane(options, holder);
  // SimConnect is another's code, with stack needs of its own: the system's default.
  auto msfs_feed = [holder, efb = options.efb] { run_msfs_feed(holder, efb); };
  if (options.run_msfs) start_thread("MSFS", msfs_feed, platform::SYSTEM_STACK_SIZE);
  std::string failure;
  platform::Socket listener = open_listener(options.port, options.lan, &failure);
  if (!listener.valid()) fatal_stop(failure);
  std::shared_ptr<const LanAccess> lan = options.lan ? lan_access(options, listener) : nullptr;
  platform::write_console(ConsoleStream::out, ready_lines(listener));
  // The key is in these lines and nowhere else on the console.
  if (lan)
    platform::write_console(ConsoleStream::out, tablet_lines(tablet_urls(platform::interface_addresses(), *lan)));
  if (options.efb) start_efb(options, holder);
  start_thread("status monitor",
               [holder, label = std::string(options.sim_label)] { run_status_monitor(holder, label); });
  run_accept_loop(listener, holder, lan);
}

}  // namespace tavrik
