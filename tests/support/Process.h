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

#include <signal.h>
#include <sys/types.h>

namespace marlinax::testsupport {

// A private X server started by startXServer.
struct StartedXServer {
  pid_t pid = -1;       // -1 when none came up
  std::string display;  // ":N"
  std::string problem;  // why none came up
};

// Starts the X server whose command line `commandLine(":N")` gives on the first free display
// number from `firstNumber` upward, and waits until it holds that display's lock file and accepts
// connections. The server dies with the test process. A server that fails because another one
// took the number meanwhile is retried on the next number; one that fails on its own, or does not
// come up within `patience` (it is killed), is not. `ownSession` detaches it from the terminal.
StartedXServer startXServer(int firstNumber,
                            const std::function<std::vector<std::string>(const std::string&)>& commandLine,
                            std::chrono::seconds patience, bool ownSession);

// SIGTERM, then SIGKILL after `grace`; reaps the process and returns its wait status.
int stopByPid(pid_t pid, std::chrono::seconds grace, int signal = SIGTERM);

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
