// marlinax-server: advertises this computer to a headset and serves one
// headset at a time until SIGINT or SIGTERM. When the served headset's
// connection ends, the server advertises again, so the headset (or another
// one) can connect without a restart.
//
// Lines on standard output that scripts may rely on:
//   "Awaiting connection on port P."        each time the server listens
//   "Connected to NAME."                    the headset's handshake matched
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

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include "capture/AsyncSequence.h"
#include "displays/VirtualDisplay.h"
#include "log/Log.h"
#include "messaging/ProtocolVersion.h"
#include "messaging/SessionLoop.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "platform/x11/VirtualDisplayX11.h"
#include "platform/x11/Reachable.h"
#include "server/Options.h"
#include "server/ProtocolImplementation.h"

namespace marlinax {
namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The platform services the headset's requests work with: the X display's
// capture and input when it can be reached. Without them the server still
// serves the handshake; requests that need them get no reply.
server::Services platformServices() {
  server::Services services;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    log::warning("No X display: display, capture and input requests are not available.");
    return services;
  }
  try {
    services.capture = platform::x11::makeCaptureService();
  } catch (const std::exception& error) {
    log::warning(std::string("Screen capture is not available: ") + error.what());
  }
  try {
    auto poster = std::make_shared<platform::InputPosterX11>();
    services.input = poster;
    services.doubleClickInterval = poster;
  } catch (const std::exception& error) {
    log::warning(std::string("Input is not available: ") + error.what());
  }
  if (services.capture && services.input)
    log::info(std::string("Capture and input on X display ") + display + ".");
  return services;
}

// What the signal handler needs to end the current session.
struct Sessions {
  std::mutex mutex;
  bool stopping = false;
  std::shared_ptr<messaging::SessionLoop> loop;
  std::weak_ptr<server::ProtocolImplementation> handler;

  bool begin(std::shared_ptr<messaging::SessionLoop> next) {
    std::lock_guard lock(mutex);
    loop = std::move(next);
    return !stopping;
  }

  void stop() {
    std::shared_ptr<messaging::SessionLoop> current;
    std::shared_ptr<server::ProtocolImplementation> served;
    {
      std::lock_guard lock(mutex);
      stopping = true;
      current = loop;
      served = handler.lock();
    }
    if (current)
      current->stop();
    if (served) {
      // Stops the capture threads before the process goes, and lets the
      // headset see the connection end.
      served->endConnection();
      if (auto remote = served->remote())
        remote->connection.connection().close();
    }
  }

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }
};

// One session after the other: listen and advertise, serve the first
// connection, and once it has ended start over. At most one headset is served
// at a time, because the next listener exists only after the previous
// connection ended.
asio::awaitable<void> serveHeadsets(std::shared_ptr<Sessions> sessions, server::Services base, std::int64_t version,
                                    cli::Options cli) {
  auto executor = co_await asio::this_coro::executor;
  for (;;) {
    auto ended = std::make_shared<capture::AsyncSequence<std::size_t>>();
    auto handlerMade = std::make_shared<std::atomic<bool>>(false);
    server::Services services = base;
    services.connectionEnded = [ended](std::size_t stopped) { ended->yield(stopped); };

    messaging::SessionLoop::Options options;
    options.version = version;
    options.port = cli.port;
    options.serviceName = cli.name;
    options.makeHandler = [services, sessions, handlerMade] {
      auto handler = std::make_shared<server::ProtocolImplementation>(services);
      {
        std::lock_guard lock(sessions->mutex);
        sessions->handler = handler;
      }
      *handlerMade = true;
      return handler;
    };
    options.publish = [](messaging::Remote remote) { say("Connected to " + remote.name.value_or("") + "."); };
    options.listening = [](std::uint16_t port) { say("Awaiting connection on port " + std::to_string(port) + "."); };

    auto loop = std::make_shared<messaging::SessionLoop>(executor, std::move(options));
    if (!sessions->begin(loop))
      co_return;
    messaging::SessionOutcome outcome = co_await loop->run();
    if (sessions->isStopping())
      co_return;
    if (outcome != messaging::SessionOutcome::connected)
      say(std::string("Session ended: ") + messaging::describe(outcome) + ".");

    if (*handlerMade) {
      // The connection came up: it is served until it ends, whatever became
      // of the handshake.
      std::optional<std::size_t> stopped = co_await ended->next();
      if (!stopped || sessions->isStopping())
        co_return;
      say("Headset disconnected; stopped " + std::to_string(*stopped) + " capture stream(s).");
    } else if (outcome == messaging::SessionOutcome::listenerEnded) {
      // Could not listen: try again a little later rather than spin.
      asio::steady_timer pause(executor, std::chrono::seconds(1));
      co_await pause.async_wait(asio::use_awaitable);
    }
  }
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
    if (!error && protocol == asio::ip::tcp::v6())
      probe.set_option(asio::ip::v6_only(false), error);
    if (!error)
      probe.set_option(asio::socket_base::reuse_address(true), error);
    if (!error)
      probe.bind(asio::ip::tcp::endpoint(protocol, port), error);
    if (!error)
      probe.listen(asio::socket_base::max_listen_connections, error);
    if (!error)
      return std::nullopt;
  }
  return error.message();
}

int run(const cli::Options& cli) {
  // Fail at start-up, not at the first handshake, on a bad build number.
  const std::int64_t version = messaging::protocolVersion();

  // Options handled elsewhere in builds that have them.
  if (!cli.allowFrom.empty())
    log::warning("--allow-from is not supported by this build; every address may connect.");
  if (cli.port != 0) {
    if (auto reason = portUnavailable(cli.port)) {
      log::error("cannot listen on TCP port " + std::to_string(cli.port) + ": " + *reason);
      return 1;
    }
  }

  asio::io_context io;
  // Frame encoding runs here, never on the network threads.
  asio::thread_pool cpu(std::max(1u, std::thread::hardware_concurrency()));
  server::Services services = platformServices();
  // JPEG, alpha, LZ4 and SHA-256 work runs on the CPU pool, never on the
  // network threads.
  services.frameExecutor = cpu.get_executor();

  auto sessions = std::make_shared<Sessions>();
  asio::co_spawn(io, serveHeadsets(sessions, services, version, cli), asio::detached);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error)
      return;
    sessions->stop();
    io.stop();
  });

  // Made before serving, with the signal handler already in place: a signal
  // during the creation is handled once serving starts, and the display is
  // removed below.
  std::shared_ptr<displays::VirtualDisplayHolder> virtualDisplays;
  if (cli.virtualDisplay) {
    virtualDisplays = std::make_shared<displays::VirtualDisplayHolder>(
        displays::Environment::standard(platform::x11::makeVirtualDisplayService(), services.capture));
    virtualDisplays->create(1);
  }

  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&io] { io.run(); });
  for (auto& thread : threads)
    thread.join();
  // Frames still waiting for a reply would keep the pool busy forever.
  cpu.stop();
  cpu.join();
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
