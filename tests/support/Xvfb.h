#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace marlinax::testsupport {

// A RandR monitor to create on the private server: a rectangle of the root
// window, in pixels.
struct MonitorRect {
  std::string name;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
};

// A private X server (Xvfb) for the lifetime of the object.
//
// The server runs on the first free display number from :90 upward, with
// `-noreset` (so the RandR monitors made here survive the last client leaving)
// and without TCP. The constructor returns once the server accepts
// connections and the requested monitors exist; the destructor kills the
// server by its process id and waits for it.
class Xvfb {
 public:
  struct Options {
    int width = 3840;
    int height = 1080;
    int depth = 24;
    // Monitors to create with XRRSetMonitor. When the list is not empty the
    // server's automatic whole-screen monitor is turned off (its CRTC is
    // disabled; the framebuffer keeps its size), so that exactly these
    // monitors are listed.
    std::vector<MonitorRect> monitors{};
    int firstDisplayNumber = 90;
    // Further command-line arguments, e.g. {"-extension", "XTEST"} to start
    // the server without an extension.
    std::vector<std::string> extraArguments{};
  };

  // Two 1920x1080 monitors side by side, "Left" (primary) at 0,0 and "Right"
  // at 1920,0, on a 3840x1080 screen.
  static Options twoMonitors();

  Xvfb();
  explicit Xvfb(Options options);  // throws std::runtime_error when no server starts
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  const std::string& displayName() const { return name_; }  // ":N"
  pid_t pid() const { return pid_; }
  int width() const { return options_.width; }
  int height() const { return options_.height; }

  // Adds (or replaces, when the name exists) a monitor. Throws std::runtime_error on X errors.
  void setMonitor(const MonitorRect& monitor);
  // Removes the monitor of that name. Throws on X errors.
  void deleteMonitor(const std::string& name);

 private:
  void disableAutomaticMonitor();
  void xrandr(const std::string& arguments);

  Options options_;
  std::string name_;
  pid_t pid_ = -1;
};

}  // namespace marlinax::testsupport
