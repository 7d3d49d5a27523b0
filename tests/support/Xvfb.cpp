#include "support/Xvfb.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include "support/Process.h"

namespace marlinax::testsupport {
namespace {

using namespace std::chrono_literals;

int millimetres(int pixels) { return pixels * 254 / 960; }  // at 96 dots per inch

}  // namespace

Xvfb::Options Xvfb::twoMonitors() {
  Options options;
  options.width = 3840;
  options.height = 1080;
  options.monitors = {{"Left", 0, 0, 1920, 1080, true}, {"Right", 1920, 0, 1920, 1080, false}};
  return options;
}

Xvfb::Xvfb() : Xvfb(Options{}) {}

Xvfb::Xvfb(Options options) : options_(std::move(options)) {
  const std::string size =
      std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x" + std::to_string(options_.depth);
  const StartedXServer started = startXServer(
      options_.firstDisplayNumber,
      [&](const std::string& display) {
        std::vector<std::string> words{"Xvfb", display, "-screen", "0", size, "-noreset", "-nolisten", "tcp"};
        words.insert(words.end(), options_.extraArguments.begin(), options_.extraArguments.end());
        return words;
      },
      15s, false);
  if (started.pid < 0) throw std::runtime_error("no private Xvfb could be started: " + started.problem);
  pid_ = started.pid;
  name_ = started.display;
  try {
    if (!options_.monitors.empty()) {
      for (const auto& monitor : options_.monitors) setMonitor(monitor);
      disableAutomaticMonitor();
    }
  } catch (...) {
    stopByPid(pid_, 5s);
    throw;
  }
}

Xvfb::~Xvfb() { stopByPid(pid_, 5s); }

// RandR changes go through xrandr, whose failures (X errors) are its exit status.
void Xvfb::xrandr(const std::string& arguments) { commandOutput("xrandr -display " + name_ + " " + arguments); }

void Xvfb::setMonitor(const MonitorRect& m) {
  // Setting a name that exists is refused: delete it first, in the same breath, so that clients
  // never see the monitor missing (xrandr only warns when there is none to delete).
  xrandr("--delmonitor '" + m.name + "' --setmonitor '" + std::string(m.primary ? "*" : "") + m.name + "' " +
         std::to_string(m.width) + "/" + std::to_string(millimetres(m.width)) + "x" + std::to_string(m.height) + "/" +
         std::to_string(millimetres(m.height)) + "+" + std::to_string(m.x) + "+" + std::to_string(m.y) + " none");
}

void Xvfb::deleteMonitor(const std::string& name) { xrandr("--delmonitor '" + name + "'"); }

// Switches the server's own output off, keeping the screen's size.
void Xvfb::disableAutomaticMonitor() {
  xrandr("--fb " + std::to_string(options_.width) + "x" + std::to_string(options_.height) + " --output screen --off");
}

}  // namespace marlinax::testsupport
