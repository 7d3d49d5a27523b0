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
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include "capture/AsyncSequence.h"
#include "messaging/ProtocolVersion.h"
#include "messaging/SessionLoop.h"
#include "platform/Backend.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "server/ProtocolImplementation.h"
#ifdef MARLINAX_HAVE_WAYLAND
#include "platform/wayland/Bus.h"
#include "platform/wayland/CapturePortal.h"
#include "platform/wayland/GnomeBackend.h"
#include "platform/wayland/InputPosterPortal.h"
#endif

namespace marlinax {
namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The platform services the headset's requests work with, from the display
// backend chosen for this session (or requested with --backend). Without them
// the server still serves the handshake; requests that need them get no reply.
server::Services x11Services() {
  server::Services services;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    say("No X display: display, capture and input requests are not available.");
    return services;
  }
  try {
    services.capture = platform::x11::makeCaptureService();
  } catch (const std::exception& error) {
    say(std::string("Screen capture is not available: ") + error.what());
  }
  try {
    auto poster = std::make_shared<platform::InputPosterX11>();
    services.input = poster;
    services.doubleClickInterval = poster;
  } catch (const std::exception& error) {
    say(std::string("Input is not available: ") + error.what());
  }
  if (services.capture && services.input)
    say(std::string("Capture and input on X display ") + display + ".");
  return services;
}

server::Services platformServices(std::optional<platform::Backend> requested) {
  platform::SessionFacts facts = platform::environmentFacts();
#ifdef MARLINAX_HAVE_WAYLAND
  facts = platform::wayland::withBusFacts(facts);
#else
  facts.mutterOnBus = false;
#endif
  platform::BackendChoice choice = platform::chooseBackend(facts, requested);
  if (!choice.backend) {
    say("No display backend (" + choice.reason + "): display, capture and input requests are not available.");
    return {};
  }
  say("Display backend: " + std::string(platform::backendName(*choice.backend)) + " (" + choice.reason + ").");
  switch (*choice.backend) {
  case platform::Backend::x11:
    return x11Services();
  case platform::Backend::gnome: {
    server::Services services;
#ifdef MARLINAX_HAVE_WAYLAND
    try {
      auto gnome = platform::wayland::makeGnomeServices();
      services.capture = gnome.capture;
      services.input = gnome.input;
      services.doubleClickInterval = gnome.doubleClickInterval;
      say("Capture and input through mutter on the Wayland session.");
    } catch (const std::exception& error) {
      say(std::string("The GNOME backend is not available: ") + error.what());
    }
#else
    say("The GNOME backend is not available: this build has no PipeWire or sd-bus support.");
#endif
    return services;
  }
  case platform::Backend::portal: {
    server::Services services;
#ifdef MARLINAX_HAVE_WAYLAND
    try {
      services.capture = platform::wayland::makePortalCaptureService(platform::wayland::Bus::openSession());
      say(std::string("Capture through the desktop's screen-cast portal") +
          (platform::wayland::hasStoredScreenCastToken() ? "." : "; the desktop asks once which screens to share."));
    } catch (const std::exception& error) {
      say(std::string("The portal backend is not available: ") + error.what());
    }
#endif
#ifdef MARLINAX_HAVE_WAYLAND
    try {
      auto poster = std::make_shared<platform::wayland::InputPosterPortal>(platform::wayland::Bus::openSession());
      services.input = poster;
      services.doubleClickInterval = poster;
      say("Input through the desktop's remote-desktop portal: the desktop asks for permission now.");
    } catch (const std::exception& error) {
      say(std::string("Input is not available: ") + error.what());
    }
#else
    say("The portal backend is not available: this build has no PipeWire or sd-bus support.");
#endif
    return services;
  }
  }
  return {};
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
asio::awaitable<void> serveHeadsets(std::shared_ptr<Sessions> sessions, server::Services base, std::int64_t version) {
  auto executor = co_await asio::this_coro::executor;
  for (;;) {
    auto ended = std::make_shared<capture::AsyncSequence<std::size_t>>();
    auto handlerMade = std::make_shared<std::atomic<bool>>(false);
    server::Services services = base;
    services.connectionEnded = [ended](std::size_t stopped) { ended->yield(stopped); };

    messaging::SessionLoop::Options options;
    options.version = version;
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

int run(std::optional<platform::Backend> backend) {
  // Fail at start-up, not at the first handshake, on a bad build number.
  const std::int64_t version = messaging::protocolVersion();

  asio::io_context io;
  // Frame encoding runs here, never on the network threads.
  asio::thread_pool cpu(std::max(1u, std::thread::hardware_concurrency()));
  server::Services services = platformServices(backend);
  // JPEG, alpha, LZ4 and SHA-256 work runs on the CPU pool, never on the
  // network threads.
  services.frameExecutor = cpu.get_executor();
  services.frameExecutor = cpu.get_executor();

  auto sessions = std::make_shared<Sessions>();
  asio::co_spawn(io, serveHeadsets(sessions, services, version), asio::detached);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error)
      return;
    sessions->stop();
    io.stop();
  });

  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&io] { io.run(); });
  for (auto& thread : threads)
    thread.join();
  // Frames still waiting for a reply would keep the pool busy forever.
  cpu.stop();
  cpu.join();
  return 0;
}

}  // namespace
}  // namespace marlinax

int main(int argc, char** argv) {
  // --backend x11|gnome|portal overrides the choice made from the session.
  std::optional<marlinax::platform::Backend> backend;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::string value;
    if (argument == "--backend" && i + 1 < argc) {
      value = argv[++i];
    } else if (argument.rfind("--backend=", 0) == 0) {
      value = argument.substr(10);
    } else {
      std::fprintf(stderr, "usage: marlinax-server [--backend x11|gnome|portal]\n");
      return 2;
    }
    backend = marlinax::platform::parseBackend(value);
    if (!backend) {
      std::fprintf(stderr, "marlinax-server: unknown backend \"%s\" (x11, gnome or portal)\n", value.c_str());
      return 2;
    }
  }
  try {
    return marlinax::run(backend);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "marlinax-server: %s\n", error.what());
    return 1;
  }
}
