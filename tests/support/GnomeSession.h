#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/Process.h"

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

 private:
  std::string directory_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace marlinax::testsupport
