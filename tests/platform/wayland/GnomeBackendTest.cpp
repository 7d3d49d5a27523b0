// The GNOME backend against a private headless GNOME session (mutter, PipeWire,
// WirePlumber on a private bus) with the test client's window on its monitor.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <linux/input-event-codes.h>
#include <signal.h>
#include <unistd.h>

#include "input/EventDispatcher.h"
#include "platform/wayland/Bus.h"
#include "platform/wayland/CaptureGnome.h"
#include "platform/wayland/CapturePortal.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/InputPosterGnome.h"
#include "platform/wayland/InputPosterPortal.h"
#include "platform/wayland/VirtualDisplayGnome.h"
#include "support/Eventually.h"
#include "support/FrameRecorder.h"
#include "support/GnomeSession.h"

namespace marlinax::platform::wayland {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::FrameRecorder;
using testsupport::GnomeSession;
using testsupport::LoggedProcess;

std::string clientPath() { return std::string(MARLINAX_BIN_DIR) + "/marlinax-wayland-test-client"; }

std::uint32_t pixelAt(const Image& image, double fx, double fy) {
  int x = static_cast<int>(fx * image.width), y = static_cast<int>(fy * image.height);
  const std::uint8_t* p = image.row(y) + 4 * x;
  return static_cast<std::uint32_t>(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0];  // ARGB
}

// The test client's quadrants: red, green / blue, white; alpha always opaque.
bool showsQuadrants(const Image& image) {
  return pixelAt(image, 0.25, 0.25) == 0xFFFF0000u && pixelAt(image, 0.75, 0.25) == 0xFF00FF00u &&
         pixelAt(image, 0.25, 0.75) == 0xFF0000FFu && pixelAt(image, 0.75, 0.75) == 0xFFFFFFFFu;
}

CaptureConfiguration smallCast() { return {.width = 960, .height = 540}; }

bool startsWith(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

// Waits until the client printed lines containing each of `expected`, in this order (others may
// come between), from line `from` on; moves `from` past the last.
::testing::AssertionResult seesInOrder(const LoggedProcess& client, std::size_t& from,
                                       const std::vector<std::string>& expected) {
  for (const std::string& text : expected) {
    auto line = client.waitForLine(
        [&](const std::string& l) { return l.find(text) != std::string::npos && !startsWith(l, "output"); }, 20s, from);
    auto lines = client.lines();
    if (!line) {
      std::string seen;
      for (const std::string& l : lines) seen += l + "\n";
      return ::testing::AssertionFailure() << "missing \"" << text << "\"; the client saw:\n" << seen;
    }
    from = static_cast<std::size_t>(std::find(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), *line) -
                                    lines.begin()) +
           1;
  }
  return ::testing::AssertionSuccess();
}

class GnomeBackend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!GnomeSession::available()) return;
    session_ = std::make_unique<GnomeSession>();
    client_ = std::make_unique<LoggedProcess>(std::vector<std::string>{clientPath()});
    if (!client_->waitForLine([](const std::string& l) { return startsWith(l, "ready "); })) {
      FAIL() << "the test client did not show its window";
    }
  }
  static void TearDownTestSuite() {
    client_.reset();  // before the session it shows its window in
    session_.reset();
  }
  void SetUp() override {
    if (session_ == nullptr) GTEST_SKIP() << "mutter, pipewire or wireplumber is not installed";
    bus_ = Bus::openSession();
  }

  static inline std::unique_ptr<GnomeSession> session_;
  static inline std::unique_ptr<LoggedProcess> client_;
  std::shared_ptr<Bus> bus_;
};

TEST_F(GnomeBackend, ListsTheMonitorAndCastsWhatIsOnIt) {
  auto capture = makeGnomeCaptureService(bus_);
  auto displays = capture->shareableDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(std::tuple(displays[0].displayID, displays[0].frame),
            std::tuple(displayIdentifier("Meta-0"), codec::Rect{0, 0, 1920, 1080}));

  FrameRecorder frames;
  auto stream = capture->startStream(displays[0], smallCast(), frames.output());
  ASSERT_TRUE(frames.waitFor([](const Image& image) {
    return image.width == 960 && image.height == 540 && showsQuadrants(image);
  })) << "no 960x540 frame showed the client's colours";
  // Nothing changes on the screen: after the frames of the start, none follow.
  std::this_thread::sleep_for(1s);
  const int settled = frames.count();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(frames.count(), settled) << "a still screen kept sending frames";
  stream->stop();

  auto screenshot = capture->screenshot(displays[0], smallCast());
  EXPECT_TRUE(screenshot && screenshot->image && showsQuadrants(*screenshot->image));

  DisplayInfo gone{12345, {0, 0, 10, 10}};
  EXPECT_THROW(capture->startStream(gone, smallCast(), frames.output()), CaptureError);
  EXPECT_FALSE(capture->screenshot(gone, smallCast()).has_value());
}

TEST_F(GnomeBackend, InputArrivesAtTheClientInOrder) {
  auto poster = std::make_shared<InputPosterGnome>(bus_);
  input::EventDispatcher dispatcher(poster, poster);
  const codec::Rect frame{0, 0, 1920, 1080};
  auto at = [&](double x, double y) { return input::globalPoint(frame, x, y); };

  const std::string left = std::to_string(BTN_LEFT);
  // Each step's lines come in order, others may come between; each step waits for its lines, so
  // that mutter cannot merge one step's motion into the next.
  std::size_t from = client_->lineCount();
  // The very first keys of a new poster, with a modifier. (Not Command: mutter keeps a lone Super
  // press for itself, its overlay key.)
  dispatcher.postKey(input::KeyCode::key_Control, true);
  dispatcher.postKey(input::KeyCode::key_C, true);
  dispatcher.postKey(input::KeyCode::key_C, false);
  dispatcher.postKey(input::KeyCode::key_Control, false);
  ASSERT_TRUE(seesInOrder(*client_, from, {"key 29 pressed", "key 46 pressed", "key 46 released", "key 29 released"}));
  dispatcher.moveMouse(at(0.25, 0.5));
  ASSERT_TRUE(seesInOrder(*client_, from, {" 480.00 540.00"}));
  dispatcher.beginDrag(at(0.1, 0.1));
  dispatcher.drag(at(0.2, 0.3));
  dispatcher.endDrag(at(0.3, 0.3));
  ASSERT_TRUE(seesInOrder(*client_, from,
                          {" 192.00 108.00", "button " + left + " pressed", "motion 384.00 324.00",
                           "motion 576.00 324.00", "button " + left + " released"}));
  dispatcher.beginScroll();
  dispatcher.scroll(-12.7, -30.2);
  dispatcher.endScroll();
  // Mutter 43 sends no axis stop for the gesture's end; newer ones may.
  ASSERT_TRUE(seesInOrder(*client_, from, {"axis horizontal 1", "axis vertical 30.00"}));
  // The horizontal part of the scroll, pixel-precise (up to mutter's fixed-point
  // rounding) and signed like mutter's axis: positive is to the right.
  auto lines = client_->lines();
  auto horizontal =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return startsWith(l, "axis horizontal "); });
  ASSERT_NE(horizontal, lines.end());
  EXPECT_NEAR(std::stod(horizontal->substr(16)), 12.0, 0.05);
  EXPECT_EQ(poster->failures(), 0u);
}

TEST_F(GnomeBackend, VirtualDisplayIsAddedCastAndRemoved) {
  auto capture = makeGnomeCaptureService(bus_);
  auto service = makeGnomeVirtualDisplayService(bus_);
  std::size_t from = client_->lineCount();
  {
    auto display = service->create({"Virtual Display 1", 1920, 1080, 1920, 1080, 0x1235, 0x5679, 1, "q.1"});
    ASSERT_TRUE(display);
    ASSERT_TRUE(display->applySettings({2, {{1920, 1080, 60.0}}}));
    EXPECT_TRUE(
        client_->waitForLine([](const std::string& l) { return startsWith(l, "output 1920 0 1920 1080 "); }, 20s, from))
        << "the client saw no new 1920x1080 output to the right";
    auto displays = capture->shareableDisplays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[1].frame, (codec::Rect{1920, 0, 1920, 1080}));
    EXPECT_NE(displays[1].displayID, displays[0].displayID);

    FrameRecorder frames;
    auto stream = capture->startStream(displays[1], smallCast(), frames.output());
    EXPECT_TRUE(frames.waitFor([](const Image& image) { return image.width == 960 && image.height == 540; }));
    stream->stop();

    // The pointer goes onto the new monitor (leaving the client's window) and back:
    // the poster follows the change of monitors.
    auto poster = std::make_shared<InputPosterGnome>(bus_);
    std::size_t before = client_->lineCount();
    poster->moveMouse(1920 + 960, 540);
    poster->moveMouse(480, 540);
    EXPECT_TRUE(seesInOrder(*client_, before, {"leave", "enter 480.00 540.00"}));
    EXPECT_EQ(poster->failures(), 0u);
  }
  EXPECT_TRUE(client_->waitForLine([](const std::string& l) { return startsWith(l, "output-removed "); }, 20s, from))
      << "releasing the display did not remove its output";
  EXPECT_EQ(capture->shareableDisplays().size(), 1u);
}

TEST_F(GnomeBackend, AKilledOwnerLeavesNoVirtualMonitor) {
  auto capture = makeGnomeCaptureService(bus_);
  std::size_t from = client_->lineCount();
  LoggedProcess owner({"/proc/self/exe", "--hold-virtual-display"});
  ASSERT_TRUE(owner.waitForLine([](const std::string& l) { return l == "holding"; }));
  ASSERT_EQ(capture->shareableDisplays().size(), 2u);
  owner.kill(SIGKILL);
  EXPECT_TRUE(client_->waitForLine([](const std::string& l) { return startsWith(l, "output-removed "); }, 20s, from));
  EXPECT_EQ(capture->shareableDisplays().size(), 1u);
}

// What the screen-cast portal stores once the user allowed a cast of the
// session's monitor and ticked "remember": the permission of the (unsandboxed,
// so nameless) application and the desktop's own restore data under the token.
void preapproveScreenCast(Bus& bus, const std::string& token, const std::string& monitorMatch) {
  const char* store = "org.freedesktop.impl.portal.PermissionStore";
  const char* path = "/org/freedesktop/impl/portal/PermissionStore";
  bus.call(store, path, store, "SetPermission", [&](sd_bus_message* m) {
    sd_bus_message_append(m, "sbssas", "screencast", 1, token.c_str(), "", 1, "yes");
  });
  bus.call(store, path, store, "SetValue", [&](sd_bus_message* m) {
    sd_bus_message_append(m, "sbs", "screencast", 1, token.c_str());
    // ("GNOME", format 1, <(created, last used, [(stream id, monitor, <vendor:product:serial>)])>)
    sd_bus_message_open_container(m, 'v', "(suv)");
    sd_bus_message_open_container(m, 'r', "suv");
    sd_bus_message_append(m, "su", "GNOME", 1u);
    sd_bus_message_open_container(m, 'v', "(xxa(uuv))");
    sd_bus_message_open_container(m, 'r', "xxa(uuv)");
    sd_bus_message_append(m, "xx", std::int64_t{0}, std::int64_t{0});
    sd_bus_message_append(m, "a(uuv)", 1, 0u, 1u, "s", monitorMatch.c_str());
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
  });
}

bool portalsInstalled() {
  return ::access("/usr/libexec/xdg-desktop-portal", X_OK) == 0 &&
         ::access("/usr/libexec/xdg-desktop-portal-gnome", X_OK) == 0;
}

TEST_F(GnomeBackend, PortalCastsWithAStoredPermissionWithoutADialog) {
  if (!portalsInstalled()) GTEST_SKIP() << "xdg-desktop-portal or xdg-desktop-portal-gnome is not installed";
  const std::string token = "4f1d8c1e-9a2b-4c3d-8e7f-0123456789ab";
  preapproveScreenCast(*bus_, token, "MetaVendor:MetaVirtualMonitor:0x00");
  RestoreTokenStore store(std::filesystem::path(session_->directory()) / "state" / "marlinax" / "token");
  ASSERT_TRUE(store.save(token));

  // A dialog would never be answered here: the calls would time out instead.
  auto capture = makePortalCaptureService(bus_, store);
  auto displays = capture->shareableDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].frame, (codec::Rect{0, 0, 1920, 1080}));
  FrameRecorder frames;
  auto stream = capture->startStream(displays[0], smallCast(), frames.output());
  EXPECT_TRUE(frames.waitFor(showsQuadrants)) << "no frame showed the client's colours";
  stream->stop();
  auto screenshot = capture->screenshot(displays[0], smallCast());
  EXPECT_TRUE(screenshot && screenshot->image && showsQuadrants(*screenshot->image));
  // The token the portal handed back is kept for the next run.
  EXPECT_TRUE(isRestoreToken(store.load().value_or("")));
  capture.reset();

  // Asking again with the kept token is granted at once, and the token kept still works.
  EXPECT_TRUE(requestScreenCastPermission(bus_, store, 60s));
  auto again = makePortalCaptureService(bus_, store);
  EXPECT_EQ(again->shareableDisplays().size(), 1u);
}

TEST_F(GnomeBackend, PortalInputArrivesOnceTheUserAllowedIt) {
  if (!portalsInstalled()) GTEST_SKIP() << "xdg-desktop-portal or xdg-desktop-portal-gnome is not installed";
  auto capture = makeGnomeCaptureService(bus_);
  const DisplayInfo monitor = capture->shareableDisplays().at(0);
  const CaptureConfiguration full{.width = 1920, .height = 1080};
  auto colourAt = [&](int x, int y) {
    auto shot = capture->screenshot(monitor, full);
    return shot && shot->image ? pixelAt(*shot->image, x / 1920.0, y / 1080.0) : 0u;
  };
  auto isBlue = [](std::uint32_t argb) {
    int r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
    return b > 180 && r < 120 && g > 90 && g < 180;  // the dialog's accent colour
  };
  // Where Debian 12's portal dialog (centred on the 1920x1080 monitor) has its
  // "Allow remote interaction" switch and its "Share" button.
  const double switchX = 1150, switchY = 612, shareX = 1172, shareY = 412;

  InputPosterPortal poster(bus_, 60s);
  // The user: GNOME's own input clicks through the dialog once it shows.
  auto user = std::make_shared<InputPosterGnome>(bus_);
  ASSERT_TRUE(eventually([&] { return isBlue(colourAt(shareX, shareY)); }, 30s, 100ms))
      << "the portal's dialog did not show";
  user->leftDown(switchX, switchY, 1);
  user->leftUp(switchX, switchY, 1);
  eventually([&] { return isBlue(colourAt(switchX - 10, switchY)); }, 10s, 100ms);
  user->leftDown(shareX, shareY, 1);
  user->leftUp(shareX, shareY, 1);
  ASSERT_TRUE(poster.waitUntilReady(60s)) << "the portal gave no input session";

  input::EventDispatcher dispatcher(std::shared_ptr<InputPoster>(&poster, [](InputPoster*) {}), nullptr);
  const codec::Rect frame = monitor.frame;
  std::size_t from = client_->lineCount();
  dispatcher.moveMouse(input::globalPoint(frame, 0.25, 0.5));
  dispatcher.click(input::globalPoint(frame, 0.25, 0.5));
  dispatcher.postKey(input::KeyCode::key_B, true);
  dispatcher.postKey(input::KeyCode::key_B, false);
  const std::string left = std::to_string(BTN_LEFT);
  EXPECT_TRUE(seesInOrder(*client_, from,
                          {" 480.00 540.00", "button " + left + " pressed", "button " + left + " released",
                           "key 48 pressed", "key 48 released"}));
  EXPECT_EQ(poster.failures(), 0u);
}

}  // namespace
}  // namespace marlinax::platform::wayland

// `--hold-virtual-display`: makes a virtual display and keeps it until killed
// (the killed-owner test runs this program so).
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--hold-virtual-display") == 0) {
    using namespace marlinax::platform;
    auto service = wayland::makeGnomeVirtualDisplayService(wayland::Bus::openSession());
    auto display = service->create({"Virtual Display 1", 1920, 1080, 1920, 1080, 0x1235, 0x5679, 1, "q.1"});
    if (!display || !display->applySettings({2, {{1920, 1080, 60.0}}})) return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;) pause();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
