#include "support/XorgDummy.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

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

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

pid_t lockOwner(int number) {
  std::ifstream in("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

std::string lastLines(const std::string& path, int count) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::ostringstream out;
  for (std::size_t i = lines.size() > static_cast<std::size_t>(count) ? lines.size() - count : 0; i < lines.size(); ++i)
    out << lines[i] << '\n';
  return out.str();
}

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
    const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
    if (exists("/tmp/.X11-unix/X" + std::to_string(number)) || exists(lock)) continue;
    if (tryStart(number, problem)) break;
    if (!exists(lock)) break;  // it failed on its own, not because another server took the number
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
  const std::string config = folder_ + "/xorg.conf";
  const std::string log = folder_ + "/xorg.log";
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setsid();  // no controlling terminal for Xorg to take over
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
      ::dup2(devNull, STDERR_FILENO);
    }
    ::execlp("Xorg", "Xorg", display.c_str(), "-config", config.c_str(), "-noreset", "-nolisten", "tcp", "-logfile",
             log.c_str(), "-novtswitch", "-sharevts", static_cast<char*>(nullptr));
    ::_exit(127);
  }

  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      problem = "Xorg exited (status " + std::to_string(status) + "); its log ends with:\n" + lastLines(log, 15);
      return false;
    }
    if (lockOwner(number) == child) {
      if (Display* probe = XOpenDisplay(display.c_str())) {
        XCloseDisplay(probe);
        pid_ = child;
        name_ = display;
        return true;
      }
    }
    std::this_thread::sleep_for(50ms);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  problem = "Xorg did not accept connections within 30 s";
  return false;
}

void XorgDummy::stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  pid_ = -1;
}

}  // namespace marlinax::testsupport
