#include <gtest/gtest.h>
// After gtest: Xlib defines macros (Bool, None) that clash with it.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/Xvfb.h"

namespace {

using marlinax::testsupport::Xvfb;

std::string atomName(Display* display, Atom atom) {
  char* text = XGetAtomName(display, atom);
  std::string name = text ? text : "";
  if (text) XFree(text);
  return name;
}

TEST(Xvfb, ServesExactlyTheRequestedMonitorsAndStopsWithItsObject) {
  pid_t pid = -1;
  std::string name;
  {
    Xvfb first(Xvfb::twoMonitors());
    Xvfb second;  // a second server must pick another number
    EXPECT_NE(first.displayName(), second.displayName());
    pid = first.pid();
    name = first.displayName();

    Display* display = XOpenDisplay(name.c_str());
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(DisplayWidth(display, DefaultScreen(display)), 3840);
    EXPECT_EQ(DisplayHeight(display, DefaultScreen(display)), 1080);
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), False, &count);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < count; ++i) {
      std::string monitorName = atomName(display, monitors[i].name);
      EXPECT_EQ(monitors[i].width, 1920);
      EXPECT_EQ(monitors[i].height, 1080);
      EXPECT_EQ(monitors[i].y, 0);
      EXPECT_EQ(monitors[i].x, monitorName == "Left" ? 0 : 1920) << monitorName;
    }
    XRRFreeMonitors(monitors);

    // Replacing a monitor by name keeps one entry of that name.
    first.setMonitor({"Right", 1920, 0, 1000, 500, false});
    monitors = XRRGetMonitors(display, DefaultRootWindow(display), False, &count);
    ASSERT_EQ(count, 2);
    std::optional<int> rightWidth;
    for (int i = 0; i < count; ++i) {
      if (atomName(display, monitors[i].name) == "Right") rightWidth = monitors[i].width;
    }
    XRRFreeMonitors(monitors);
    EXPECT_EQ(rightWidth, 1000);
    XCloseDisplay(display);

    // The server without monitors keeps its automatic one.
    Display* plain = XOpenDisplay(second.displayName().c_str());
    ASSERT_NE(plain, nullptr);
    monitors = XRRGetMonitors(plain, DefaultRootWindow(plain), False, &count);
    EXPECT_EQ(count, 1);
    XRRFreeMonitors(monitors);
    XCloseDisplay(plain);
  }
  EXPECT_NE(::kill(pid, 0), 0) << "the server outlived its object";
  EXPECT_EQ(XOpenDisplay(name.c_str()), nullptr);
}

}  // namespace
