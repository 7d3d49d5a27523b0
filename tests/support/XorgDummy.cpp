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
  std::string problem = "no free display number";
  for (int number = 140; number < 240; ++number) {
    if (displayNumberTaken(number)) continue;
    if (tryStart(number, problem)) break;
    if (!displayNumberTaken(number)) break;  // it failed on its own, not because another server took the number
  }
  if (pid_ < 0) {
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("Xorg did not start: " + problem);
  }
}

XorgDummy::~XorgDummy() {
  stop();
  std::filesystem::remove_all(folder_);
}

bool XorgDummy::tryStart(int number, std::string& problem) {
  const std::string display = ":" + std::to_string(number);
  const std::string log = folder_ + "/xorg.log";
  int status = 0;
  pid_ = startXServer(number,
                      {"Xorg", display, "-config", folder_ + "/xorg.conf", "-noreset", "-nolisten", "tcp", "-logfile",
                       log, "-novtswitch", "-sharevts"},
                      30s, true, status);
  if (pid_ >= 0) {
    name_ = display;
    return true;
  }
  problem = status == -1 ? "Xorg did not accept connections within 30 s"
                         : "Xorg exited (status " + std::to_string(status) + "); its log ends with:\n" +
                               commandOutput("tail -15 '" + log + "'");
  return false;
}

void XorgDummy::stop() {
  stopByPid(pid_, 10s);
  pid_ = -1;
}

}  // namespace marlinax::testsupport
