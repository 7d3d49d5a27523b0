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

pid_t startXServer(int number, const std::vector<std::string>& words, std::chrono::seconds patience, bool ownSession,
                   int& exitStatus) {
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
  // Everything the child needs is made before the fork: other threads may hold
  // the allocator's lock at that moment.
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
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
  ::kill(pid_, signal);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return status;
    }
    ::usleep(50'000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  reaped_ = true;
  return status;
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
