#include "support/Process.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace marlinax::testsupport {
namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Whether another server holds the display number (socket or lock file present).
bool displayNumberTaken(int number) {
  return exists("/tmp/.X11-unix/X" + std::to_string(number)) || exists("/tmp/.X" + std::to_string(number) + "-lock");
}

// The server writes its pid, as text, into its lock file.
pid_t lockOwner(int number) {
  std::ifstream in("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

// Starts `words` (argv[0] looked up in PATH) with its standard output on `out` (-1: /dev/null);
// the child dies with the test process.
pid_t spawn(const std::vector<std::string>& words, int out, bool ownSession) {
  // Everything the child needs is made before the fork: other threads may hold the allocator's
  // lock at that moment.
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    if (ownSession) ::setsid();  // no controlling terminal for Xorg to take over
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(out >= 0 ? out : devNull, STDOUT_FILENO);
    if (out < 0) ::dup2(devNull, STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return child;
}

}  // namespace

StartedXServer startXServer(int firstNumber,
                            const std::function<std::vector<std::string>(const std::string&)>& commandLine,
                            std::chrono::seconds patience, bool ownSession) {
  StartedXServer started{-1, "", "no free display number"};
  for (int number = firstNumber; number < firstNumber + 200; ++number) {
    if (displayNumberTaken(number)) continue;
    const std::string display = ":" + std::to_string(number);
    const pid_t child = spawn(commandLine(display), -1, ownSession);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int status = 0;
    bool exited = false;
    while (!exited && std::chrono::steady_clock::now() < deadline) {
      exited = ::waitpid(child, &status, WNOHANG) == child;
      // Another test may have started a server on the same number a moment earlier: only the
      // lock file's owner is ours.
      if (!exited && lockOwner(number) == child) {
        if (Display* probe = XOpenDisplay(display.c_str())) {
          XCloseDisplay(probe);
          return {child, display, ""};
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    if (!exited) {
      stopByPid(child, 0s, SIGKILL);
      started.problem = "the server did not accept connections within " + std::to_string(patience.count()) + " s";
      return started;
    }
    started.problem = "the server exited (status " + std::to_string(status) + ")";
    if (!displayNumberTaken(number)) return started;  // it failed on its own
  }
  return started;
}

int stopByPid(pid_t pid, std::chrono::seconds grace, int signal) {
  if (pid <= 0) return 0;
  ::kill(pid, signal);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  return status;
}

std::string commandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run " + command);
  }
  std::string output;
  char buffer[4096];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.append(buffer, count);
  }
  const int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("command failed: " + command);
  }
  return output;
}

LoggedProcess::LoggedProcess(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = spawn(argv, fds[1], false);
  ::close(fds[1]);
  outFd_ = fds[0];
  reader_ = std::thread([this] {
    std::string pending;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(outFd_, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        std::lock_guard lock(mutex_);
        lines_.push_back(pending.substr(0, newline));
        pending.erase(0, newline + 1);
        changed_.notify_all();
      }
    }
  });
}

LoggedProcess::~LoggedProcess() {
  kill(SIGTERM);
  if (reader_.joinable()) reader_.join();
  ::close(outFd_);
}

int LoggedProcess::kill(int signal) {
  if (reaped_) return 0;
  reaped_ = true;
  return stopByPid(pid_, 5s, signal);
}

std::vector<std::string> LoggedProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t LoggedProcess::lineCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::optional<std::string> LoggedProcess::waitForLine(const std::function<bool(const std::string&)>& match,
                                                      std::chrono::milliseconds timeout, std::size_t from) const {
  std::unique_lock lock(mutex_);
  std::size_t next = from;
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (; next < lines_.size(); ++next) {
      if (match(lines_[next])) {
        found = lines_[next];
        return true;
      }
    }
    return false;
  });
  return found;
}

}  // namespace marlinax::testsupport
