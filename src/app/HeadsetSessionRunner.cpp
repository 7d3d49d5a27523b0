#include <cstdlib>
#include <mutex>

#include "app/SessionRunner.h"
#include "log/Log.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"

namespace marlinax::app {
namespace {

// The X display's capture and input when they can be reached, as the
// headless server has them. Without them the handshake is still served;
// requests that need them get no reply.
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
  return services;
}

class HeadsetSessionRunner final : public SessionRunner {
 public:
  explicit HeadsetSessionRunner(server::HeadsetServerOptions options) : options_(std::move(options)) {}
  ~HeadsetSessionRunner() override { stop(); }

  void start(server::HeadsetServerEvents events) override {
    std::lock_guard lock(mutex_);
    if (server_)
      return;
    server_ = std::make_unique<server::HeadsetServer>(platformServices(), options_, std::move(events));
    server_->start();
  }

  void stop() override {
    std::unique_ptr<server::HeadsetServer> server;
    {
      std::lock_guard lock(mutex_);
      server = std::move(server_);
    }
    if (server)
      server->stop();
  }

 private:
  server::HeadsetServerOptions options_;
  std::mutex mutex_;
  std::unique_ptr<server::HeadsetServer> server_;
};

}  // namespace

std::shared_ptr<SessionRunner> makeHeadsetSessionRunner(server::HeadsetServerOptions options) {
  return std::make_shared<HeadsetSessionRunner>(std::move(options));
}

}  // namespace marlinax::app
