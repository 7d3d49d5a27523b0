#pragma once

#include <string>

#include <sys/types.h>

namespace marlinax::testsupport {

// A private Xorg server with the dummy video driver for the lifetime of the
// object: one connected output (DUMMY0, 2048x1536) and fifteen outputs with
// nothing plugged in, a screen that may grow to 32767x32767.
//
// Xorg needs root and the packages xserver-xorg-core and
// xserver-xorg-video-dummy. The server runs on the first free display number
// from :140 upward with its own configuration and log file in a temporary
// folder, without TCP and with `-noreset`. The constructor returns once it
// accepts connections; the destructor kills it by its process id, waits for
// it and removes the folder.
class XorgDummy {
 public:
  XorgDummy();  // throws std::runtime_error with the reason when no server starts
  ~XorgDummy();
  XorgDummy(const XorgDummy&) = delete;
  XorgDummy& operator=(const XorgDummy&) = delete;

  const std::string& displayName() const { return name_; }  // ":N"
  pid_t pid() const { return pid_; }

 private:
  std::string folder_;
  std::string name_;
  pid_t pid_ = -1;
};

}  // namespace marlinax::testsupport
