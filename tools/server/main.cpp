// marlinax-server: advertises this computer to a headset, serves the first
// headset that connects, and keeps serving it until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>

#include "messaging/ProtocolVersion.h"
#include "messaging/SessionLoop.h"
#include "server/ProtocolImplementation.h"

namespace marlinax {
namespace {

// The platform services the headset's requests work with. With a reachable X
// display the capture and input services of the X11 platform belong here;
// until they are wired, requests that need them are refused (not answered).
server::Services platformServices() {
  server::Services services;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0')
    std::printf("No X display: display, capture and input requests are not available.\n");
  return services;
}

int run() {
  // Fail at start-up, not at the first handshake, on a bad build number.
  const std::int64_t version = messaging::protocolVersion();

  asio::io_context io;
  asio::thread_pool cpu(std::max(1u, std::thread::hardware_concurrency()));
  server::Services services = platformServices();

  messaging::SessionLoop::Options options;
  options.version = version;
  options.makeHandler = [services] { return std::make_shared<server::ProtocolImplementation>(services); };
  options.publish = [](messaging::Remote remote) {
    std::printf("Connected to %s.\n", remote.name.value_or("").c_str());
    std::fflush(stdout);
  };
  options.listening = [](std::uint16_t port) {
    std::printf("Awaiting connection on port %u.\n", port);
    std::fflush(stdout);
  };
  messaging::SessionLoop loop(io.get_executor(), std::move(options));
  asio::co_spawn(io, loop.run(), asio::detached);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error)
      return;
    loop.stop();
    io.stop();
  });

  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&io] { io.run(); });
  for (auto& thread : threads)
    thread.join();
  cpu.join();
  return 0;
}

}  // namespace
}  // namespace marlinax

int main() {
  try {
    return marlinax::run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "marlinax-server: %s\n", error.what());
    return 1;
  }
}
