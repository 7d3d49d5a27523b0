#include "support/GnomeSession.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace marlinax::testsupport {

namespace {

std::string sessionScript() { return std::string(MARLINAX_SOURCE_DIR) + "/scripts/testing/gnome-session-env.sh"; }

// Runs a command, returns its standard output; throws when it fails.
std::string run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  std::array<char, 4096> buffer{};
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
  int status = ::pclose(pipe);
  if (status != 0) throw std::runtime_error(command + " failed");
  return output;
}

}  // namespace

bool GnomeSession::available() {
  return ::access("/usr/bin/mutter", X_OK) == 0 && ::access("/usr/bin/pipewire", X_OK) == 0 &&
         ::access("/usr/bin/wireplumber", X_OK) == 0;
}

GnomeSession::GnomeSession() {
  char pattern[] = "/tmp/marlinax-gnome.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  std::string output;
  try {
    output = run(sessionScript() + " start " + directory_);
  } catch (...) {
    std::filesystem::remove_all(directory_);
    throw;
  }
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (line.rfind("export ", 0) == 0) {
      std::string assignment = line.substr(7);
      std::size_t equals = assignment.find('=');
      if (equals == std::string::npos) continue;
      std::string name = assignment.substr(0, equals);
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), assignment.substr(equals + 1).c_str(), 1);
      environment_.push_back(assignment);
    } else if (line.rfind("unset ", 0) == 0) {
      std::string name = line.substr(6);
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      ::unsetenv(name.c_str());
    }
  }
}

GnomeSession::~GnomeSession() {
  try {
    run(sessionScript() + " stop " + directory_);
  } catch (...) {
  }
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
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
