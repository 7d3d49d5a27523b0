#pragma once

// The service to headsets as the window sees it. The product's runner is the
// HeadsetServer that marlinax-server runs too; tests use a fake. The events
// may be called on any thread; the window moves them to its own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/HeadsetServer.h"

namespace marlinax::app {

class SessionRunner {
 public:
  virtual ~SessionRunner() = default;
  // Starts listening and serving; returns at once.
  virtual void start(server::HeadsetServerEvents events) = 0;
  // Ends every connection, stops capture and listening. After it returns no
  // event is called any more. Idempotent.
  virtual void stop() = 0;
};

// Serves headsets with the desktop's services on the HeadsetServer that
// marlinax-server runs too.
std::shared_ptr<SessionRunner> makeHeadsetSessionRunner(server::HeadsetServerOptions options,
                                                        server::Services services);

}  // namespace marlinax::app
