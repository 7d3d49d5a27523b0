#pragma once

// A client connection of the test's own to a private X server: paints the root window (children
// included) and moves the pointer, so tests can see what capture does.

#include <stdexcept>
#include <string>
#include <utility>

#include <X11/Xlib.h>

namespace marlinax::testsupport {

class XPainter {
 public:
  explicit XPainter(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
    if (!display_) throw std::runtime_error("cannot open " + name);
    gc_ = XCreateGC(display_, root(), 0, nullptr);
    XSetSubwindowMode(display_, gc_, IncludeInferiors);
  }
  ~XPainter() {
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }
  XPainter(const XPainter&) = delete;
  XPainter& operator=(const XPainter&) = delete;

  ::Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  void fill(int x, int y, int width, int height, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, root(), gc_, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(display_, False);
  }
  void warpPointer(int x, int y) {
    XWarpPointer(display_, None, root(), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }
  Atom atom(const std::string& name) { return XInternAtom(display_, name.c_str(), False); }

 private:
  ::Display* display_;
  GC gc_;
};

}  // namespace marlinax::testsupport
