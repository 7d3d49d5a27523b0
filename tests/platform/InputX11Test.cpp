// Input posted through XTest on a private Xvfb with two monitors, observed by a test window
// that covers the whole screen.

// GoogleTest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "input/EventDispatcher.h"
#include "platform/EvdevKeys.h"
#include "platform/XSettingsBuilder.h"
#include "platform/x11/InputPosterX11.h"
#include "platform/x11/InputSettingsX11.h"
#include "support/Eventually.h"
#include "support/Xvfb.h"

namespace marlinax::input {
namespace {

using namespace std::chrono_literals;
using platform::x11::InputPosterX11;
using testsupport::Xvfb;

constexpr auto patience = 10s;
// The monitors of Xvfb::twoMonitors().
constexpr codec::Rect leftMonitor{0, 0, 1920, 1080}, rightMonitor{1920, 0, 1920, 1080};

// What the test window saw, reduced to what the tests compare.
struct Seen {
  int type = 0;
  unsigned detail = 0;  // button or keycode; 0 for motion
  int x = 0, y = 0;     // root position
  unsigned state = 0;
  friend bool operator==(const Seen&, const Seen&) = default;
};

bool waitFor(const std::function<bool()>& condition) { return testsupport::eventually(condition, patience); }

std::pair<int, int> pointerOn(Display* display) {
  Window rootReturn, child;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &rootReturn, &child, &rootX, &rootY, &windowX, &windowY, &mask);
  return {rootX, rootY};
}

class InputX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = std::make_unique<Xvfb>(Xvfb::twoMonitors()); }
  static void TearDownTestSuite() { server.reset(); }

  void SetUp() override {
    observer = XOpenDisplay(server->displayName().c_str());
    ASSERT_NE(observer, nullptr);
    const Window root = DefaultRootWindow(observer);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask =
        ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask;
    window = XCreateWindow(observer, root, 0, 0, unsigned(server->width()), unsigned(server->height()), 0,
                           CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(observer, window);
    ASSERT_TRUE(waitFor([&] {
      XWindowAttributes state;
      XGetWindowAttributes(observer, window, &state);
      return state.map_state == IsViewable;
    }));
    XSetInputFocus(observer, window, RevertToParent, CurrentTime);
    XSync(observer, False);
    poster = std::make_shared<InputPosterX11>(server->displayName());
    dispatcher = std::make_unique<EventDispatcher>(poster, poster);
    // Park the pointer, then forget everything seen so far.
    dispatcher->moveMouse({5, 5});
    ASSERT_TRUE(waitForPointer(5, 5));
    read();
    seen.clear();
  }

  void TearDown() override {
    dispatcher.reset();
    EXPECT_EQ(poster ? poster->protocolErrors() : 0, 0u);
    poster.reset();
    if (observer != nullptr) XCloseDisplay(observer);
  }

  bool waitForPointer(int x, int y) {
    return waitFor([&] { return pointerOn(observer) == std::pair{x, y}; });
  }

  // Adds the input events delivered to the window since the last call to `seen`.
  void read() {
    XSync(observer, False);
    while (XPending(observer) > 0) {
      XEvent event;
      XNextEvent(observer, &event);
      switch (event.type) {
      case ButtonPress:
      case ButtonRelease:
        seen.push_back(
            {event.type, event.xbutton.button, event.xbutton.x_root, event.xbutton.y_root, event.xbutton.state});
        break;
      case MotionNotify:
        seen.push_back({event.type, 0, event.xmotion.x_root, event.xmotion.y_root, event.xmotion.state});
        break;
      case KeyPress:
      case KeyRelease:
        seen.push_back({event.type, event.xkey.keycode, event.xkey.x_root, event.xkey.y_root, event.xkey.state});
        break;
      default: break;
      }
    }
  }

  // Waits until `count` events arrived and returns them; unless `all` are asked for, without
  // motion and with the state bits left out.
  std::vector<Seen> expectEvents(std::size_t count, bool all = false) {
    std::vector<Seen> events;
    waitFor([&] {
      read();
      events.clear();
      for (const Seen& s : seen)
        if (all || s.type != MotionNotify) events.push_back(all ? s : Seen{s.type, s.detail, s.x, s.y, 0});
      return events.size() >= count;
    });
    return events;
  }

  static inline std::unique_ptr<Xvfb> server;
  Display* observer = nullptr;
  Window window = None;
  std::vector<Seen> seen;
  std::shared_ptr<InputPosterX11> poster;
  std::unique_ptr<EventDispatcher> dispatcher;
};

// Points are fractions of a monitor's frame; fractional pixels go to the nearest one, points off
// the screen stop at its edge. (Non-finite points are the dispatcher's to drop.)
TEST_F(InputX11Test, MovesLandWhereThePointSays) {
  const codec::Rect right = rightMonitor;
  const int w = server->width(), h = server->height();
  const std::pair<Point, std::pair<int, int>> cases[] = {
      {globalPoint(right, 0.25, 0.5), {2400, 540}}, {{100.6, 200.4}, {101, 200}},   {{99.5, 0.49}, {100, 0}},
      {globalPoint(right, 1.5, -3), {w - 1, 0}},    {{1e12, 1e12}, {w - 1, h - 1}},  // beyond 16-bit coordinates
  };
  for (const auto& [point, expected] : cases) {
    dispatcher->moveMouse(point);
    EXPECT_TRUE(waitForPointer(expected.first, expected.second))
        << pointerOn(observer).first << "," << pointerOn(observer).second;
  }
}

// A click is a left press and release; a drag holds the left button while moving, across
// monitors. Scroll pixels then become wheel clicks where the pointer is, with the Mac's signs.
TEST_F(InputX11Test, ClicksDragsAndScrollsUseTheirButtons) {
  dispatcher->click(globalPoint(leftMonitor, 0.5, 0.5));  // (960, 540)
  dispatcher->beginDrag({100, 100});
  dispatcher->drag({150, 120});
  dispatcher->drag({2000, 130});
  dispatcher->endDrag({2100, 140});
  dispatcher->beginScroll();
  dispatcher->scroll(0, 65.9);   // up 2, 5 px carried
  dispatcher->scroll(-31, -35);  // right 1 (1 px carried), down 1
  dispatcher->scroll(0, 20);     // 20 px: nothing yet
  dispatcher->endScroll();       // the carried pixels are dropped
  dispatcher->beginScroll();
  dispatcher->scroll(29.9, 10);  // left 0 after truncation to 29 px
  dispatcher->scroll(1, 0);      // left 1
  dispatcher->endScroll();
  std::vector<Seen> expected = {
      {MotionNotify, 0, 960, 540, 0},
      {ButtonPress, 1, 960, 540, 0},
      {MotionNotify, 0, 960, 540, Button1Mask},  // the release's point
      {ButtonRelease, 1, 960, 540, Button1Mask},
      {MotionNotify, 0, 100, 100, 0},
      {ButtonPress, 1, 100, 100, 0},
      {MotionNotify, 0, 150, 120, Button1Mask},
      {MotionNotify, 0, 2000, 130, Button1Mask},
      {MotionNotify, 0, 2100, 140, Button1Mask},
      {ButtonRelease, 1, 2100, 140, Button1Mask},
  };
  for (unsigned wheel : {4, 4, 5, 7, 6}) {
    expected.push_back({ButtonPress, wheel, 2100, 140, 0});
    const unsigned held = wheel <= 5 ? Button1Mask << (wheel - 1) : 0;  // X has no mask for buttons 6 and 7
    expected.push_back({ButtonRelease, wheel, 2100, 140, held});
  }
  EXPECT_EQ(expectEvents(expected.size(), true), expected);
}

// Presses and releases arrive in the order posted, each key at its evdev keycode.
TEST_F(InputX11Test, EveryKeyButFunctionIsPostedAtItsEvdevKeycode) {
  std::vector<Seen> expected;
  for (std::int64_t raw = 0; raw < keyCodeCount; ++raw) {
    const auto key = static_cast<KeyCode>(raw);
    const auto keycode = poster->xKeycode(key);
    if (key == KeyCode::key_Function) {
      EXPECT_EQ(keycode, std::nullopt);
    } else {
      ASSERT_TRUE(keycode.has_value()) << "raw " << raw;
      EXPECT_EQ(*keycode, platform::evdevKeyCode(key) + 8) << "raw " << raw;
      expected.push_back({KeyPress, *keycode, 5, 5, 0});
      expected.push_back({KeyRelease, *keycode, 5, 5, 0});
    }
    dispatcher->postKey(key, true);
    dispatcher->postKey(key, false);
  }
  EXPECT_EQ(expectEvents(expected.size()), expected);
  // Caps Lock and Num Lock were toggled once each: toggle them back for the other tests.
  for (const KeyCode key : {KeyCode::key_CapsLock, KeyCode::key_KeypadClear}) {
    dispatcher->postKey(key, true);
    dispatcher->postKey(key, false);
  }
}

TEST_F(InputX11Test, ClosingThePosterReleasesWhatItHolds) {
  dispatcher->postKey(KeyCode::key_Shift, true);
  dispatcher->beginDrag({40, 50});
  dispatcher.reset();
  poster.reset();
  auto events = expectEvents(4);
  if (events.size() == 4 && events[2].type != KeyRelease) std::swap(events[2], events[3]);  // either order
  EXPECT_EQ(events, (std::vector<Seen>{{KeyPress, 50, 5, 5, 0},
                                       {ButtonPress, 1, 40, 50, 0},
                                       {KeyRelease, 50, 40, 50, 0},
                                       {ButtonRelease, 1, 40, 50, 0}}));
}

TEST_F(InputX11Test, KeysFollowTheServersKeymap) {
  // The whole keymap is saved first and put back at the end for the other tests.
  int first = 0, last = 0, perKeycode = 0;
  XDisplayKeycodes(observer, &first, &last);
  KeySym* saved = XGetKeyboardMapping(observer, ::KeyCode(first), last - first + 1, &perKeycode);
  auto bind = [&](int keycode, std::vector<KeySym> symbols) {
    XChangeKeyboardMapping(observer, keycode, int(symbols.size()), symbols.data(), 1);
    XSync(observer, False);
  };
  // A key whose place has no symbol any more is found by its symbol elsewhere.
  bind(38, {NoSymbol});
  bind(202, {XK_a, XK_A});
  EXPECT_TRUE(waitFor([&] { return poster->xKeycode(KeyCode::key_A) == 202; }));
  dispatcher->postKey(KeyCode::key_A, true);
  dispatcher->postKey(KeyCode::key_A, false);
  EXPECT_EQ(expectEvents(2), (std::vector<Seen>{{KeyPress, 202, 5, 5, 0}, {KeyRelease, 202, 5, 5, 0}}));

  // With the arrows away from their evdev places the keymap is not evdev-based: every key
  // goes by symbol, and keys whose symbol is nowhere cannot be posted.
  bind(111, {NoSymbol});
  bind(217, {XK_Up});
  EXPECT_TRUE(waitFor([&] { return poster->xKeycode(KeyCode::key_UpArrow) == 217; }));
  EXPECT_EQ(poster->xKeycode(KeyCode::key_C), 54);
  EXPECT_EQ(poster->xKeycode(KeyCode::key_F13), std::nullopt);  // 191 carries XF86Tools
  XChangeKeyboardMapping(observer, first, perKeycode, saved, last - first + 1);
  XSync(observer, False);
  XFree(saved);
}

// A settings window owning the XSETTINGS selection of screen 0 publishes the double-click time,
// as a desktop's settings daemon does. (Reading the settings' bytes is the translation test's.)
TEST_F(InputX11Test, DoubleClickIntervalFollowsTheDesktopSetting) {
  EXPECT_EQ(poster->doubleClickInterval(), platform::kDefaultDoubleClickInterval);
  const Window manager = XCreateSimpleWindow(observer, DefaultRootWindow(observer), 0, 0, 1, 1, 0, 0, 0);
  auto publish = [&](std::int32_t milliseconds) {
    const Bytes settings = platform::XSettingsBuilder(true).integer("Net/DoubleClickTime", milliseconds).bytes();
    const Atom property = XInternAtom(observer, "_XSETTINGS_SETTINGS", False);
    XChangeProperty(observer, manager, property, property, 8, PropModeReplace, settings.data(), int(settings.size()));
    XSetSelectionOwner(observer, XInternAtom(observer, "_XSETTINGS_S0", False), manager, CurrentTime);
    XSync(observer, False);
  };
  publish(900);
  EXPECT_EQ(poster->doubleClickInterval(), 900ms);
  publish(0);  // nonsense: the default applies
  EXPECT_EQ(poster->doubleClickInterval(), platform::kDefaultDoubleClickInterval);
  // With the manager's window gone, so is the selection owner.
  XDestroyWindow(observer, manager);
  XSync(observer, False);
  EXPECT_EQ(poster->doubleClickInterval(), platform::kDefaultDoubleClickInterval);
}

// The X server restarts under a running poster: events meanwhile are dropped
// without an exception, and the poster reaches the new server by itself.
TEST(InputX11Outage, ThePosterSurvivesTheServerGoingAwayAndReconnects) {
  auto server = std::make_unique<Xvfb>(Xvfb::Options{.width = 800, .height = 600, .firstDisplayNumber = 140});
  const std::string name = server->displayName();
  InputPosterX11 poster(name);
  poster.moveMouse(10, 10);
  server.reset();

  EXPECT_NO_THROW(poster.moveMouse(20, 20));
  EXPECT_NO_THROW(poster.postKey(KeyCode::key_A, true));
  EXPECT_EQ(poster.doubleClickInterval(), platform::kDefaultDoubleClickInterval);

  server = std::make_unique<Xvfb>(
      Xvfb::Options{.width = 800, .height = 600, .firstDisplayNumber = std::stoi(name.substr(1))});
  ASSERT_EQ(server->displayName(), name) << "the display number was taken meanwhile";
  poster.moveMouse(321, 123);
  Display* observer = XOpenDisplay(name.c_str());
  ASSERT_NE(observer, nullptr);
  const bool arrived = waitFor([&] { return pointerOn(observer) == std::pair(321, 123); });
  XCloseDisplay(observer);
  EXPECT_TRUE(arrived);
}

}  // namespace
}  // namespace marlinax::input
