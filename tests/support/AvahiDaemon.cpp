#include "support/AvahiDaemon.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

namespace marlinax::testsupport {

AvahiDaemon::AvahiDaemon(std::string script, bool start) : script_(std::move(script)) {
  // One directory, hence one bus address, per process: libdbus reads
  // DBUS_SYSTEM_BUS_ADDRESS once and keeps using it for every later client.
  directory_ = "/tmp/marlinax-avahi-" + std::to_string(getpid());
  std::filesystem::create_directories(directory_);
  busAddress_ = "unix:path=" + directory_ + "/bus.socket";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
  if (start) {
    this->start();
  }
}

AvahiDaemon::~AvahiDaemon() {
  if (started_) {
    try {
      run("stop");
    } catch (...) {
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string AvahiDaemon::run(const std::string& command) {
  return commandOutput("'" + script_ + "' " + command + " '" + directory_ + "'");
}

void AvahiDaemon::start() {
  started_ = true;  // stop whatever part did start, even if this fails
  const std::string output = run("start");
  if (output.find("export DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_) == std::string::npos) {
    throw std::runtime_error("unexpected output from avahi-env.sh: " + output);
  }
}

void AvahiDaemon::stopDaemon() { run("stop-avahi"); }

void AvahiDaemon::startDaemon() { run("start-avahi"); }

}  // namespace marlinax::testsupport
