#pragma once

// Child processes of tests: private X servers (a free display number, starting the server and
// knowing it is up, stopping it by its process id), shell commands, and programs whose output
// is read line by line.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace marlinax::testsupport {

// Whether another server holds the display number (socket or lock file present).
bool displayNumberTaken(int number);

// Starts `words` (the server's command line) for display `number` and waits until the server
// holds that display's lock file and accepts connections. The server dies with the test process.
// Returns its pid, or -1 when it exited (`exitStatus` is its status) or did not come up within
// `patience` (it is killed; `exitStatus` is -1). `ownSession` detaches it from the terminal.
pid_t startXServer(int number, const std::vector<std::string>& words, std::chrono::seconds patience, bool ownSession,
                   int& exitStatus);

// SIGTERM, then SIGKILL after `grace`; reaps the process.
void stopByPid(pid_t pid, std::chrono::seconds grace);

// Runs a shell command and returns its standard output; throws std::runtime_error when it fails.
std::string commandOutput(const std::string& command);

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
