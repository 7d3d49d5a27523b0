#include "support/XorgDummy.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <unistd.h>

#include "support/Process.h"

namespace marlinax::testsupport {
namespace {

using namespace std::chrono_literals;

constexpr const char* kConfiguration = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 7680 4320
  EndSubSection
EndSection
)";

}  // namespace

XorgDummy::XorgDummy() {
  if (::geteuid() != 0) throw std::runtime_error("Xorg with the dummy driver needs root");
  char pattern[] = "/tmp/marlinax-xorg.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("cannot make a temporary folder");
  folder_ = pattern;
  {
    std::ofstream config(folder_ + "/xorg.conf");
    config << kConfiguration;
  }
  const std::string log = folder_ + "/xorg.log";
  const StartedXServer started = startXServer(
      140,
      [&](const std::string& display) {
        return std::vector<std::string>{"Xorg", display,    "-config", folder_ + "/xorg.conf", "-noreset", "-nolisten",
                                        "tcp",  "-logfile", log,       "-novtswitch",          "-sharevts"};
      },
      30s, true);
  if (started.pid < 0) {
    std::string tail;
    try {
      tail = commandOutput("tail -15 '" + log + "' 2>/dev/null");
    } catch (const std::runtime_error&) {
      tail = "(no log)";
    }
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("Xorg did not start: " + started.problem + "; its log ends with:\n" + tail);
  }
  pid_ = started.pid;
  name_ = started.display;
}

XorgDummy::~XorgDummy() {
  stopByPid(pid_, 10s);
  std::filesystem::remove_all(folder_);
}

}  // namespace marlinax::testsupport
