#include <cstdlib>
#include <mutex>

#include "app/SessionRunner.h"
#include "log/Log.h"

namespace marlinax::app {
namespace {

class HeadsetSessionRunner final : public SessionRunner {
 public:
  HeadsetSessionRunner(server::HeadsetServerOptions options, server::Services services)
      : options_(std::move(options)), services_(std::move(services)) {}
  ~HeadsetSessionRunner() override { stop(); }

  void start(server::HeadsetServerEvents events) override {
    std::lock_guard lock(mutex_);
    if (server_) return;
    server_ = std::make_unique<server::HeadsetServer>(services_, options_, std::move(events));
    server_->start();
  }

  void stop() override {
    std::unique_ptr<server::HeadsetServer> server;
    {
      std::lock_guard lock(mutex_);
      server = std::move(server_);
    }
    if (server) server->stop();
  }

 private:
  server::HeadsetServerOptions options_;
  server::Services services_;
  std::mutex mutex_;
  std::unique_ptr<server::HeadsetServer> server_;
};

}  // namespace

std::shared_ptr<SessionRunner> makeHeadsetSessionRunner(server::HeadsetServerOptions options,
                                                        server::Services services) {
  return std::make_shared<HeadsetSessionRunner>(std::move(options), std::move(services));
}

}  // namespace marlinax::app
