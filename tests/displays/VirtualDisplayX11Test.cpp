// Virtual displays on real X servers: a monitor over a grown screen on Xvfb,
// and an output with nothing plugged in on Xorg with the dummy driver. Each
// display is listed under the identifier the discovery adopted and removed
// without a trace. (What a headset sees of it is the end-to-end test's.)

#include <gtest/gtest.h>
// After gtest: Xlib defines macros (Bool, None) that clash with it.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <sys/wait.h>
#include <unistd.h>

#include "displays/VirtualDisplay.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/VirtualDisplayX11.h"
#include "support/XPainter.h"
#include "support/XorgDummy.h"
#include "support/Xvfb.h"

namespace marlinax::displays {
namespace {

struct MonitorState {
  std::string name;
  codec::Rect rect;
  int outputs = 0;
  bool operator==(const MonitorState&) const = default;
};

// What the tests look at on the server, read over a connection of their own.
struct ScreenState {
  int width = 0, height = 0, mmWidth = 0, mmHeight = 0;
  std::vector<MonitorState> monitors;  // sorted by name
  std::vector<std::string> modes;      // names of every mode the server knows
  int outputsOn = 0;
  bool operator==(const ScreenState&) const = default;
};

class XConnection : public testsupport::XPainter {
 public:
  explicit XConnection(const std::string& name) : XPainter(name) {
    XRRSelectInput(get(), root(), RRScreenChangeNotifyMask);
  }
  void setScreenSize(int width, int height) {
    XRRSetScreenSize(get(), root(), width, height, width * 254 / 960, height * 254 / 960);
    XSync(get(), False);
  }

  ScreenState state() {
    XSync(get(), False);
    while (XPending(get()) > 0) {
      XEvent event;
      XNextEvent(get(), &event);
      XRRUpdateConfiguration(&event);
    }
    // The screen's size as the configuration events above left it.
    const int screen = DefaultScreen(get());
    ScreenState s{DisplayWidth(get(), screen),
                  DisplayHeight(get(), screen),
                  DisplayWidthMM(get(), screen),
                  DisplayHeightMM(get(), screen),
                  {},
                  {},
                  0};
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(get(), root(), False, &count);
    for (int i = 0; i < count; ++i) {
      char* name = XGetAtomName(get(), monitors[i].name);
      const XRRMonitorInfo& m = monitors[i];
      s.monitors.push_back({name, {double(m.x), double(m.y), double(m.width), double(m.height)}, m.noutput});
      XFree(name);
    }
    XRRFreeMonitors(monitors);
    std::sort(s.monitors.begin(), s.monitors.end(), [](auto& a, auto& b) { return a.name < b.name; });
    XRRScreenResources* resources = XRRGetScreenResources(get(), root());
    for (int i = 0; i < resources->nmode; ++i) s.modes.emplace_back(resources->modes[i].name);
    for (int i = 0; i < resources->noutput; ++i) {
      XRROutputInfo* info = XRRGetOutputInfo(get(), resources, resources->outputs[i]);
      if (info->crtc) ++s.outputsOn;
      XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);
    return s;
  }
};

// The virtual-display environment on an X display, its lines collected. X applies every change
// before it answers: nothing to wait for.
Environment x11Environment(const std::string& displayName, std::shared_ptr<platform::CaptureService> capture,
                           std::vector<std::string>& lines) {
  Environment environment;
  environment.service = platform::x11::makeVirtualDisplayService(displayName);
  environment.output = [&lines](const std::string& line) { lines.push_back(line); };
  environment.listDisplayIDs = [capture, output = environment.output] { return listDisplayIDs(*capture, output); };
  environment.wait = [](std::chrono::nanoseconds) { return std::optional<std::string>(); };
  return environment;
}

// A private X server of one kind and where a virtual display must appear on it.
struct ServerSetup {
  const char* name;
  bool xorg;
  MonitorState made;
  int grownWidth, grownHeight;
};
void PrintTo(const ServerSetup& setup, std::ostream* out) { *out << setup.name; }

class VirtualDisplayX11Test : public ::testing::TestWithParam<ServerSetup> {
 protected:
  void SetUp() override {
    if (GetParam().xorg) {
      try {
        xorg_.emplace();
      } catch (const std::exception& error) {
        GTEST_SKIP() << "no Xorg with the dummy driver here: " << error.what();
      }
      displayName_ = xorg_->displayName();
    } else {
      // One monitor on a 1920-wide screen that may grow to 3840 (the server's framebuffer size).
      xvfb_.emplace(testsupport::Xvfb::Options{.monitors = {{"Main", 0, 0, 1920, 1080, true}}});
      displayName_ = xvfb_->displayName();
      XConnection(displayName_).setScreenSize(1920, 1080);
    }
    x_.emplace(displayName_);
    capture_ = platform::x11::makeCaptureService(displayName_);
  }

  std::optional<testsupport::Xvfb> xvfb_;
  std::optional<testsupport::XorgDummy> xorg_;
  std::string displayName_;
  std::optional<XConnection> x_;
  std::shared_ptr<platform::CaptureService> capture_;
  std::vector<std::string> lines_;
};

TEST_P(VirtualDisplayX11Test, IsListedCapturedAndRemovedWithoutATrace) {
  const ServerSetup& setup = GetParam();
  const ScreenState before = x_->state();

  VirtualDisplayHolder holder(x11Environment(displayName_, capture_, lines_));
  holder.create(1);
  auto display = holder.virtualDisplay();
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(std::tuple(display->hasPlatformDisplay(), display->id()),
            std::tuple(true, std::optional(static_cast<std::uint32_t>(x_->atom("Virtual Display 1")))))
      << ::testing::PrintToString(lines_);

  // The monitor sits right of the layout; the screen grew at the same density. Capture lists it
  // under the adopted identifier. (That it grabs a monitor's own pixels is the capture test's.)
  const ScreenState during = x_->state();
  const auto listed = capture_->shareableDisplays();
  EXPECT_EQ(std::count(during.monitors.begin(), during.monitors.end(), setup.made), 1);
  EXPECT_EQ(std::tuple(during.monitors.size(), listed.size(), during.width, during.height),
            std::tuple(before.monitors.size() + 1, before.monitors.size() + 1, setup.grownWidth, setup.grownHeight));
  EXPECT_NEAR(double(during.mmWidth) / during.width, double(before.mmWidth) / before.width, 0.01);
  EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                          [&](auto& d) { return d.displayID == *display->id() && d.frame == setup.made.rect; }),
            1);

  display->release();
  EXPECT_EQ(x_->state(), before);
}

TEST_P(VirtualDisplayX11Test, TakesOverOneLeftByARunThatCrashed) {
  const ScreenState before = x_->state();
  // A process that makes the display and dies without cleaning up.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto made = platform::x11::makeVirtualDisplayService(displayName_)->create(descriptorFor(1));
    ::_exit(made && made->applySettings(settingsFor(1)) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const ScreenState left = x_->state();
  ASSERT_EQ(left.monitors.size(), before.monitors.size() + 1);

  VirtualDisplayHolder holder(x11Environment(displayName_, capture_, lines_));
  holder.create(1);
  EXPECT_TRUE(holder.virtualDisplay()->hasPlatformDisplay());
  EXPECT_EQ(x_->state(), left);  // the same one, not a second

  holder.virtualDisplay()->release();
  EXPECT_EQ(x_->state(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, VirtualDisplayX11Test,
    ::testing::Values(
        ServerSetup{"XvfbGrownScreen", false, {"Virtual Display 1", {1920, 0, 1920, 1080}, 0}, 3840, 1080},
        ServerSetup{"XorgDummyFreeOutput", true, {"Virtual Display 1", {2048, 0, 1920, 1080}, 1}, 3968, 1536}),
    [](const ::testing::TestParamInfo<ServerSetup>& info) { return std::string(info.param.name); });

// One monitor over the whole screen, which cannot grow; room to the right, but not 1080 rows high.
TEST(VirtualDisplayX11, WithoutRoomToGrowFailsAndChangesNothing) {
  for (const auto& [width, height, monitorWidth] : {std::tuple{1920, 1080, 1920}, std::tuple{3840, 720, 1280}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    testsupport::Xvfb xvfb(
        {.width = width, .height = height, .monitors = {{"Main", 0, 0, monitorWidth, height, true}}});
    XConnection x(xvfb.displayName());
    const ScreenState before = x.state();
    std::vector<std::string> lines;
    VirtualDisplay display(
        x11Environment(xvfb.displayName(), platform::x11::makeCaptureService(xvfb.displayName()), lines));
    display.createAndDiscover(1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Failed to create a virtual display with ID 1."), lines.end());
    EXPECT_EQ(x.state(), before);
    EXPECT_EQ(display.id(), 1u);
  }
}

}  // namespace
}  // namespace marlinax::displays
