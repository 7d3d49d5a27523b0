#include "support/XServerProcess.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace marlinax::testsupport {
namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The server writes its pid, as text, into its lock file.
pid_t lockOwner(int number) {
  std::ifstream in("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

}  // namespace

bool displayNumberTaken(int number) {
  return exists("/tmp/.X11-unix/X" + std::to_string(number)) || exists("/tmp/.X" + std::to_string(number) + "-lock");
}

pid_t startXServer(int number, const std::vector<std::string>& words, std::chrono::seconds patience,
                   bool ownSession, int& exitStatus) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& word : copy) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // The server must not outlive a test that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    if (ownSession) ::setsid();  // no controlling terminal for Xorg to take over
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
      ::dup2(devNull, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  const std::string display = ":" + std::to_string(number);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(child, &exitStatus, WNOHANG) == child) return -1;
    // Another test may have started a server on the same number a moment earlier: only the lock
    // file's owner is ours.
    if (lockOwner(number) == child) {
      if (Display* probe = XOpenDisplay(display.c_str())) {
        XCloseDisplay(probe);
        return child;
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  exitStatus = -1;
  return -1;
}

void stopByPid(pid_t pid, std::chrono::seconds grace) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace marlinax::testsupport
