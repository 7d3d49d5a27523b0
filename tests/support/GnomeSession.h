#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace marlinax::testsupport {

// A private headless GNOME session (session bus, PipeWire, WirePlumber,
// mutter with one 1920x1080 monitor) for the lifetime of the object, started
// and stopped by scripts/testing/gnome-session-env.sh. While it exists this
// process's environment points at it (XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS,
// WAYLAND_DISPLAY, HOME, XDG_SESSION_TYPE, XDG_CURRENT_DESKTOP; DISPLAY is unset).
class GnomeSession {
 public:
  // Whether mutter is installed (tests skip without it).
  static bool available();
  GnomeSession();  // throws std::runtime_error when the session does not start
  ~GnomeSession();
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  const std::string& directory() const { return directory_; }
  // The environment the script printed, as NAME=VALUE.
  const std::vector<std::string>& environment() const { return environment_; }

 private:
  std::string directory_;
  std::vector<std::string> environment_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A child process whose standard output is collected line by line.
class LoggedProcess {
 public:
  // Starts `argv` (argv[0] a path). Throws std::runtime_error.
  explicit LoggedProcess(const std::vector<std::string>& argv);
  // Kills the process by its PID (SIGTERM, then SIGKILL) and waits for it.
  ~LoggedProcess();
  LoggedProcess(const LoggedProcess&) = delete;
  LoggedProcess& operator=(const LoggedProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Every line so far.
  std::vector<std::string> lines() const;
  // Waits until some line (counting from line `from`) satisfies `match`; returns it.
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                         std::size_t from = 0) const;
  std::size_t lineCount() const;
  // Kills with that signal and waits; returns the wait status.
  int kill(int signal);

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool reaped_ = false;
};

}  // namespace marlinax::testsupport
