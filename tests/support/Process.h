#pragma once

// The process side of a private X server, shared by the Xvfb and Xorg harnesses: choosing a free
// display number, starting the server and knowing it is up, stopping it by its process id.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace marlinax::testsupport {

// Whether another server holds the display number (socket or lock file present).
bool displayNumberTaken(int number);

// Starts `words` (the server's command line) for display `number` and waits until the server
// holds that display's lock file and accepts connections. The server dies with the test process.
// Returns its pid, or -1 when it exited (`exitStatus` is its status) or did not come up within
// `patience` (it is killed; `exitStatus` is -1). `ownSession` detaches it from the terminal.
pid_t startXServer(int number, const std::vector<std::string>& words, std::chrono::seconds patience,
                   bool ownSession, int& exitStatus);

// SIGTERM, then SIGKILL after `grace`; reaps the process.
void stopByPid(pid_t pid, std::chrono::seconds grace);

}  // namespace marlinax::testsupport
