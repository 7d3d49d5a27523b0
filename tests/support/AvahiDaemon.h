#pragma once

#include <string>

#include "support/Process.h"  // commandOutput

namespace marlinax::testsupport {

// A private avahi-daemon on a private D-Bus bus (scripts/testing/avahi-env.sh)
// for the lifetime of the object; both are stopped by their process ids.
// The daemon only uses loopback. Sets DBUS_SYSTEM_BUS_ADDRESS in this process
// before starting, so Avahi clients made here find it. Only one can run per
// host: tests using it need the CTest RESOURCE_LOCK "avahi".
class AvahiDaemon {
 public:
  // `script` is the path of avahi-env.sh. If `start` is false only the
  // directory and the environment are prepared (the bus does not exist yet);
  // call start() later.
  explicit AvahiDaemon(std::string script, bool start = true);
  ~AvahiDaemon();
  AvahiDaemon(const AvahiDaemon&) = delete;
  AvahiDaemon& operator=(const AvahiDaemon&) = delete;

  // Start the bus and the daemon; throws std::runtime_error with the
  // script's reason (for instance another avahi-daemon running).
  void start();
  // Stop or start only the daemon, the bus staying up.
  void stopDaemon();
  void startDaemon();

 private:
  std::string run(const std::string& command);

  std::string script_;
  std::string directory_;
  std::string busAddress_;
  bool started_ = false;
};

}  // namespace marlinax::testsupport
