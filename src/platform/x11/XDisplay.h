#pragma once

// One Xlib connection with its own error bookkeeping. Xlib reports protocol
// errors through a process-wide handler whose default ends the process; the
// handler installed here records each error against the connection it came
// from instead. A lost connection is recorded too, rather than exiting.
//
// A connection is used by one thread at a time (its owner's).

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include <X11/Xlib.h>

namespace marlinax::platform::x11 {

// A connection that cannot be opened, lacks an extension its user needs, or
// broke. Capture reports it as a CaptureError; input drops the event.
class XError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class XDisplay {
 public:
  // Opens `name` (empty: $DISPLAY). Throws XError when that fails.
  static std::unique_ptr<XDisplay> open(const std::string& name);
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  // Waits until the server has handled every request sent so far, then
  // returns the first error code recorded since the last call (0: none) and
  // forgets it.
  int syncAndTakeError();
  // Returns and forgets the recorded error without a round trip.
  int takeError();
  // Whether the connection to the server broke. Nothing works on it after that.
  // Also true once the server has closed the socket, before Xlib noticed: a
  // dead connection is then never touched again (Xlib can hang in it).
  bool lost() const;

 private:
  explicit XDisplay(Display* display);
  static int handleError(Display* display, XErrorEvent* event);
  static void handleLostConnection(Display* display, void* self);

  Display* display_ = nullptr;
  std::atomic<int> error_{0};
  mutable std::atomic<bool> lost_{false};
};

}  // namespace marlinax::platform::x11
