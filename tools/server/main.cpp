// marlinax-server: advertises this computer to headsets and serves one
// headset at a time until SIGINT or SIGTERM. It keeps listening while a
// headset is served: a headset that completes the handshake replaces the
// served one, so a headset that lost its network can come straight back.
//
// Lines on standard output that scripts may rely on:
//   "Awaiting connection on port P."        at start and whenever no headset
//                                           is served any more
//   "Connected to NAME."                    the headset's handshake matched
//   "Connected to NAME, whose protocol version X differs from this server's Y."
//   "Headset disconnected; stopped N capture stream(s)."
//                                           a served connection has ended
//   "Session ended: REASON."                a connection that never came up
//                                           or failed its handshake
//
// With --virtual-display the server first adds virtual display number 1 (the
// usual set-up for a computer without monitors serving a headset), writing
// the virtual-display progress lines, and removes it again when it stops.
//
// Diagnostics go to standard error through the logging facility.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <pthread.h>

#include "displays/VirtualDisplay.h"
#include "log/Log.h"
#include "platform/x11/Reachable.h"
#include "server/DesktopServices.h"
#include "server/HeadsetServer.h"
#include "server/Options.h"
#include "server/ProtocolImplementation.h"
#include "transport/AddressFilter.h"

namespace marlinax {
namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Why a fixed port cannot be listened on (taken by another program, or
// privileged), checked once at start so that the server fails at once instead
// of retrying; none when it can.
std::optional<std::string> portUnavailable(std::uint16_t port) {
  asio::io_context io;
  std::error_code error;
  for (auto protocol : {asio::ip::tcp::v6(), asio::ip::tcp::v4()}) {
    asio::ip::tcp::acceptor probe(io);
    error = {};
    probe.open(protocol, error);
    if (!error && protocol == asio::ip::tcp::v6()) probe.set_option(asio::ip::v6_only(false), error);
    if (!error) probe.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) probe.bind(asio::ip::tcp::endpoint(protocol, port), error);
    if (!error) probe.listen(asio::socket_base::max_listen_connections, error);
    if (!error) return std::nullopt;
  }
  return error.message();
}

// Serves headsets until SIGINT or SIGTERM.
int run(const cli::Options& cli) {
  server::HeadsetServerOptions options;
  options.port = cli.port;
  options.serviceName = cli.name;
  options.advertise = cli.advertise;
  if (!cli.allowFrom.empty()) {
    std::string list;
    for (const std::string& range : cli.allowFrom) list += (list.empty() ? "" : ",") + range;
    options.allowFrom = transport::AddressFilter::parse(list);
  }
  if (cli.port != 0) {
    if (auto reason = portUnavailable(cli.port)) {
      log::error("cannot listen on TCP port " + std::to_string(cli.port) + ": " + *reason);
      return 1;
    }
  }

  // The signals are blocked in every thread (the server's threads inherit the
  // mask) and taken here, after serving has started.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  server::DesktopServices desktop = server::makeDesktopServices(cli.backend, say);
  server::Services services = desktop.services;
  services.segmentCache = cli.segmentCache;

  // Made before serving; a signal meanwhile waits, blocked, until the display
  // exists, and the display is removed once serving has stopped.
  std::shared_ptr<displays::VirtualDisplayHolder> virtualDisplays;
  if (cli.virtualDisplay) {
    virtualDisplays = std::make_shared<displays::VirtualDisplayHolder>(
        displays::Environment::standard(desktop.virtualDisplays, services.capture));
    virtualDisplays->create(1);
  }

  server::HeadsetServerEvents events;
  events.listening = [](std::uint16_t port) { say("Awaiting connection on port " + std::to_string(port) + "."); };
  events.connected = [](const std::string& name, std::int64_t headsetVersion, std::int64_t ourVersion) {
    if (headsetVersion == ourVersion)
      say("Connected to " + name + ".");
    else
      say("Connected to " + name + ", whose protocol version " + std::to_string(headsetVersion) +
          " differs from this server's " + std::to_string(ourVersion) + ".");
  };
  events.disconnected = [](std::size_t stopped) {
    say("Headset disconnected; stopped " + std::to_string(stopped) + " capture stream(s).");
  };
  events.sessionFailed = [](const std::string& reason) { say("Session ended: " + reason + "."); };

  {
    server::HeadsetServer headsets(std::move(services), options, std::move(events));
    headsets.start();
    int received = 0;
    sigwait(&signals, &received);
    headsets.stop();
  }
  if (virtualDisplays) {
    if (auto display = virtualDisplays->virtualDisplay()) {
      display->release();
      log::info("virtual display 1 removed");
    }
  }
  return 0;
}

}  // namespace
}  // namespace marlinax

int main(int argc, char** argv) {
  using namespace marlinax;
  auto parsed = cli::parseOptions(argc, argv);
  if (auto* exit = std::get_if<cli::Exit>(&parsed)) {
    std::fputs(exit->out.c_str(), stdout);
    std::fputs(exit->err.c_str(), stderr);
    return exit->code;
  }
  const auto& options = std::get<cli::Options>(parsed);
  log::setLevel(options.logLevel);
  if (options.display) {
    // Every X connection the server opens goes to $DISPLAY.
    setenv("DISPLAY", options.display->c_str(), 1);
    if (!platform::x11::displayReachable(*options.display)) {
      auto exit = cli::usageError("--display " + *options.display + ": cannot open this X display");
      std::fputs(exit.err.c_str(), stderr);
      return exit.code;
    }
  }
  try {
    return run(options);
  } catch (const std::exception& error) {
    log::error(std::string("marlinax-server: ") + error.what());
    return 1;
  }
}
