// marlinax-server: advertises this computer to a headset and serves one
// headset at a time until SIGINT or SIGTERM. When the served headset's
// connection ends, the server advertises again, so the headset (or another
// one) can connect without a restart.
//
// Lines on standard output that scripts may rely on:
//   "Awaiting connection on port P."        each time the server listens
//   "Connected to NAME."                    the headset's handshake matched
//   "Connected to NAME, whose protocol version X differs from this server's Y."
//   "Headset disconnected; stopped N capture stream(s)."
//                                           a served connection has ended
//   "Session ended: REASON."                a connection that never came up
//                                           or failed its handshake

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "server/HeadsetServer.h"
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

// Serves headsets until SIGINT or SIGTERM.
int run(const server::HeadsetServerOptions& options) {
  server::Services services = platformServices();

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

  // The signals are blocked in every thread (the server's threads inherit the
  // mask) and taken here.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  server::HeadsetServer headsets(std::move(services), options, std::move(events));
  headsets.start();
  int received = 0;
  sigwait(&signals, &received);
  headsets.stop();
  return 0;
}

}  // namespace
}  // namespace marlinax

int main(int argc, char** argv) {
  try {
    marlinax::server::HeadsetServerOptions options;
    for (int i = 1; i < argc; ++i) {
      const std::string argument = argv[i];
      if (argument == "--port" && i + 1 < argc) {
        const std::string value = argv[++i];
        std::size_t used = 0;
        const unsigned long port = std::stoul(value, &used);
        if (used != value.size() || port > 65535)
          throw std::invalid_argument("--port needs a number from 0 to 65535, not " + value);
        options.port = static_cast<std::uint16_t>(port);
      } else if (argument == "--no-advertise") {
        options.advertise = false;
      } else {
        std::fprintf(stderr, "usage: marlinax-server [--port P] [--no-advertise]\n");
        return 2;
      }
    }
    return marlinax::run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "marlinax-server: %s\n", error.what());
    return 1;
  }
}
