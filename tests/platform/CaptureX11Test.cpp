#include <gtest/gtest.h>
// After gtest: Xlib defines macros (Bool, None) that clash with it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <unistd.h>

#include "platform/x11/CaptureX11.h"
#include "support/Eventually.h"
#include "support/FrameRecorder.h"
#include "support/XPainter.h"
#include "support/Xvfb.h"

namespace marlinax::platform {
namespace {

using namespace std::chrono_literals;
using Painter = testsupport::XPainter;
using testsupport::eventually;
using testsupport::FrameRecorder;
using testsupport::Xvfb;

constexpr unsigned long kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF, kGrey = 0x336699,
                        kYellow = 0xFFFF00;

::testing::AssertionResult hasColour(const Image& image, int x, int y, unsigned long rgb, int tolerance = 3) {
  const std::uint8_t* p = image.row(y) + x * 4;  // B, G, R, X
  for (int c = 0; c < 3; ++c)
    if (std::abs(p[c] - static_cast<int>((rgb >> (8 * c)) & 0xFF)) > tolerance)
      return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is " << std::hex
                                           << (p[2] << 16 | p[1] << 8 | p[0]) << ", expected " << rgb;
  return ::testing::AssertionSuccess();
}
bool allOpaque(const Image& image) {
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      if (image.row(y)[x * 4 + 3] != 0xFF) return false;
  return true;
}

// Shared-memory segments this process created that still exist.
int ownSharedMemorySegments() {
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // header
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long key, shmid, perms, size, cpid;
    if (fields >> key >> shmid >> perms >> size >> cpid && cpid == ::getpid()) ++count;
  }
  return count;
}

class CaptureX11 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb = std::make_unique<Xvfb>(Xvfb::twoMonitors()); }
  static void TearDownTestSuite() { xvfb.reset(); }
  void SetUp() override {
    capture = x11::makeCaptureService(xvfb->displayName());
    painter = std::make_unique<Painter>(xvfb->displayName());
    painter->warpPointer(3839, 1079);  // out of the way, bottom right of Right
    painter->fill(0, 0, 3840, 1080, 0x000000);
    for (const auto& display : capture->shareableDisplays()) {
      if (display.displayID == painter->atom("Left")) left = display;
      if (display.displayID == painter->atom("Right")) right = display;
    }
    ASSERT_EQ(left.displayID, painter->atom("Left"));
    ASSERT_EQ(right.displayID, painter->atom("Right"));
  }

  static CaptureConfiguration size(int width, int height, bool cursor) {
    return {.width = width, .height = height, .showsCursor = cursor};
  }

  static inline std::unique_ptr<Xvfb> xvfb;
  std::shared_ptr<CaptureService> capture;
  std::unique_ptr<Painter> painter;
  DisplayInfo left, right;
};

TEST_F(CaptureX11, ListsTheMonitorsWithStableIdentifiersAndRefusesWhatIsNotThere) {
  EXPECT_EQ(left.frame, (codec::Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(right.frame, (codec::Rect{1920, 0, 1920, 1080}));
  // Another service lists the same two under the same identifiers.
  const auto again = x11::makeCaptureService(xvfb->displayName())->shareableDisplays();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(std::set({again[0].displayID, again[1].displayID}), std::set({left.displayID, right.displayID}));

  // A monitor added later is listed (clipped to the root); removing it takes it away.
  xvfb->setMonitor({"Third", 3000, 500, 1920, 1080, false});
  auto withThird = capture->shareableDisplays();
  ASSERT_EQ(withThird.size(), 3u);
  auto third = std::find_if(withThird.begin(), withThird.end(),
                            [&](const DisplayInfo& d) { return d.displayID == painter->atom("Third"); });
  ASSERT_NE(third, withThird.end());
  EXPECT_EQ(third->frame, (codec::Rect{3000, 500, 840, 580}));
  xvfb->deleteMonitor("Third");
  EXPECT_EQ(capture->shareableDisplays().size(), 2u);

  // Displays that are not there, a size of zero, a server that is not there.
  DisplayInfo gone{static_cast<std::uint32_t>(painter->atom("NoSuchMonitor")), {0, 0, 100, 100}};
  EXPECT_FALSE(capture->screenshot(gone, size(1200, 640, true)));
  FrameRecorder recorder;
  EXPECT_THROW(capture->startStream(gone, size(2400, 1280, true), recorder.output()), CaptureError);
  EXPECT_THROW(capture->screenshot(left, size(0, 640, true)), CaptureError);
  EXPECT_THROW(x11::makeCaptureService(":4999"), CaptureError);
}

TEST_F(CaptureX11, ScreenshotsMatchTheDrawnPixelsAtTheConfiguredSize) {
  painter->fill(0, 0, 1920, 1080, kRed);
  painter->fill(480, 270, 960, 540, kBlue);  // the middle quarter of Left
  painter->fill(1920, 0, 1920, 1080, kGreen);
  painter->fill(1920 + 1440, 810, 480, 270, kWhite);  // bottom-right corner of Right

  // Points just inside and just outside the blue square (600..1800 x 320..960 once scaled), and
  // the white corner of Right (900..1200 x 480..640).
  using Probes = std::vector<std::tuple<int, int, unsigned long>>;
  const Probes onLeft = {{10, 10, kRed},   {2390, 1270, kRed}, {1200, 640, kBlue}, {610, 330, kBlue},
                         {590, 310, kRed}, {1790, 950, kBlue}, {1810, 970, kRed}};
  const Probes onRight = {{300, 200, kGreen}, {1100, 600, kWhite}, {880, 460, kGreen}};
  for (const auto& [display, width, height, probes] :
       {std::tuple{left, 2400, 1280, onLeft}, std::tuple{right, 1200, 640, onRight}}) {
    auto shot = capture->screenshot(display, size(width, height, false));
    ASSERT_TRUE(shot && shot->image);
    EXPECT_EQ(shot->image->width, width);
    EXPECT_EQ(shot->image->height, height);
    EXPECT_TRUE(allOpaque(*shot->image));
    for (const auto& [x, y, rgb] : probes) EXPECT_TRUE(hasColour(*shot->image, x, y, rgb));
    EXPECT_GT(shot->presentationTime.value, 0);
  }
}

TEST_F(CaptureX11, CursorIsDrawnAtThePointerOnlyOnItsDisplay) {
  painter->fill(0, 0, 3840, 1080, kGrey);
  painter->warpPointer(700, 400);
  XFixesCursorImage* cursor = XFixesGetCursorImage(painter->get());
  ASSERT_NE(cursor, nullptr);
  const int left0 = 700 - cursor->xhot, top0 = 400 - cursor->yhot, width = cursor->width, height = cursor->height;
  int opaqueCursorPixels = 0;
  // Each pixel is an unsigned long holding 32-bit ARGB (sign-extended on this server).
  for (int i = 0; i < width * height; ++i) opaqueCursorPixels += ((cursor->pixels[i] >> 24) & 0xFF) == 0xFF;
  XFree(cursor);
  ASSERT_GT(opaqueCursorPixels, 0) << "the server's cursor should be visible";

  // Pixels of an unscaled shot (cursor pixels land where the server put them) that are not grey,
  // inside the cursor's box and outside it.
  auto changed = [&](const DisplayInfo& display, bool cursor) {
    auto shot = capture->screenshot(display, size(1920, 1080, cursor));
    std::pair<int, int> insideAndOutside{0, 0};
    if (!shot || !shot->image) return std::pair(-1, -1);
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 1920; ++x) {
        if (hasColour(*shot->image, x, y, kGrey, 0)) continue;
        const bool inside = x >= left0 && x < left0 + width && y >= top0 && y < top0 + height;
        ++(inside ? insideAndOutside.first : insideAndOutside.second);
      }
    return insideAndOutside;
  };
  const auto [inside, outside] = changed(left, true);
  EXPECT_GE(inside, opaqueCursorPixels);
  EXPECT_EQ(outside, 0);
  EXPECT_EQ(changed(left, false), std::pair(0, 0)) << "a cursor although none was asked for";
  EXPECT_EQ(changed(right, true), std::pair(0, 0)) << "the cursor on a display it is not on";
}

TEST_F(CaptureX11, StreamDeliversOnlyWhenItsDisplayChangesAndFollowsItsMonitor) {
  painter->fill(0, 0, 1920, 1080, kRed);
  FrameRecorder recorder;
  auto stream = capture->startStream(left, size(2400, 1280, true), recorder.output());
  auto shows = [&](int x, int y, unsigned long rgb) {
    recorder.waitFor([&](const Image& image) { return bool(hasColour(image, x, y, rgb)); });
    return hasColour(*recorder.last().image, x, y, rgb);
  };

  // The frame count once no frame came for a while: whatever was under way has arrived.
  auto quiet = [&] {
    int count = -1;
    eventually([&] { return std::exchange(count, recorder.count()) == recorder.count(); }, 10s, 300ms);
    return recorder.count();
  };

  ASSERT_TRUE(recorder.waitBeyond(0)) << "no first frame";
  EXPECT_TRUE(shows(1200, 640, kRed));
  EXPECT_EQ(std::pair(recorder.last().image->width, recorder.last().image->height), std::pair(2400, 1280));
  EXPECT_TRUE(allOpaque(*recorder.last().image));

  // A still screen: nothing more once the start-up damage has come in.
  const int settled = quiet();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(recorder.count(), settled) << "frames while nothing changed";

  // Changes on the other display and pointer moves over it do not count.
  painter->fill(1920, 0, 1920, 1080, kWhite);
  painter->warpPointer(2500, 500);
  painter->warpPointer(2600, 600);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder.count(), settled) << "frames for another display's changes";

  // Drawing on it does.
  painter->fill(0, 0, 1920, 1080, kBlue);
  EXPECT_TRUE(shows(1200, 640, kBlue));
  EXPECT_TRUE(hasColour(*recorder.last().image, 5, 5, kBlue));

  // The pointer makes no damage, yet moving it onto the display brings a frame with it, whose
  // cursor has its hot spot at the scaled pointer position (960,540 -> 1200,640).
  painter->warpPointer(960, 540);
  EXPECT_TRUE(recorder.waitFor([](const Image& image) {
    for (int dy = -4; dy <= 24; ++dy)
      for (int dx = -4; dx <= 24; ++dx)
        if (!hasColour(image, 1200 + dx, 640 + dy, kBlue, 8)) return true;
    return false;
  })) << "no frame with the cursor at the pointer";

  // Its monitor shrinks to the top-left quarter: the stream follows, at the same output size.
  painter->fill(960, 0, 960, 1080, kRed);
  painter->fill(0, 540, 960, 540, kRed);
  ASSERT_TRUE(shows(2000, 1000, kRed));
  xvfb->setMonitor({"Left", 0, 0, 960, 540, true});
  EXPECT_TRUE(shows(2000, 1000, kBlue)) << "the stream kept showing the old rectangle";
  EXPECT_EQ(recorder.last().image->width, 2400);
  xvfb->setMonitor({"Left", 0, 0, 1920, 1080, true});

  stream->stop();
  int stopped = recorder.count();
  painter->fill(0, 0, 1920, 1080, kYellow);
  painter->warpPointer(100, 100);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder.count(), stopped) << "frames after stop()";
  stream->stop();  // idempotent
}

TEST_F(CaptureX11, ContinuousDrawingIsCappedAtTheConfiguredFrameRate) {
  // A small output keeps each frame cheap, so that only the cap can hold the rate down;
  // a cap of 12 per second is far below what even a busy machine grabs at that size.
  FrameRecorder recorder;
  CaptureConfiguration configuration = size(320, 180, false);
  configuration.minimumFrameIntervalTimescale = 12;  // one frame per 1/12 s at most
  auto stream = capture->startStream(left, configuration, recorder.output());
  ASSERT_TRUE(recorder.waitBeyond(0));

  std::atomic<bool> drawing = true;
  std::thread drawer([&] {
    Painter own(xvfb->displayName());
    for (unsigned i = 0; drawing; ++i) own.fill(static_cast<int>(i % 1800), 100, 120, 120, (i & 1) ? kRed : kGreen);
  });
  std::this_thread::sleep_for(2500ms);
  drawing = false;
  drawer.join();
  stream.reset();

  auto stamps = recorder.timestamps();
  ASSERT_GE(stamps.size(), 6u) << "frames should keep coming while the display changes";
  // No one-second window holds more than 13 frames (12 per second, plus one at the window's edge).
  std::size_t worst = 0;
  for (std::size_t first = 0, last = 0; first < stamps.size(); ++first) {
    while (last < stamps.size() && stamps[last] - stamps[first] < 1'000'000'000) ++last;
    worst = std::max(worst, last - first);
  }
  EXPECT_LE(worst, 13u);
  for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]);
}

TEST_F(CaptureX11, StopFromTheOutputAndParallelStreamsReleaseEverything) {
  int segmentsBefore = ownSharedMemorySegments();
  {
    std::unique_ptr<CaptureStream> self;
    std::mutex selfMutex;
    std::atomic<int> delivered = 0;
    std::unique_lock lock(selfMutex);
    self = capture->startStream(left, size(1200, 640, true), [&](SampleBuffer) {
      std::lock_guard inner(selfMutex);
      ++delivered;
      self->stop();  // must neither deadlock nor deliver again
    });
    lock.unlock();
    FrameRecorder a, b;
    auto streamA = capture->startStream(left, size(2400, 1280, true), a.output());
    auto streamB = capture->startStream(right, size(2400, 1280, true), b.output());
    ASSERT_TRUE(a.waitBeyond(0));
    ASSERT_TRUE(b.waitBeyond(0));
    painter->fill(0, 0, 3840, 1080, kWhite);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(delivered, 1);
    streamA.reset();
    streamB.reset();
    std::lock_guard relock(selfMutex);
    self.reset();
  }
  // Every segment has been detached and removed.
  EXPECT_TRUE(eventually([&] { return ownSharedMemorySegments() == segmentsBefore; }, 2s));
}

// The X server going away must not take the process with it (Xlib's default
// reaction): the stream stops delivering, the service reports errors.
TEST(CaptureX11ServerLoss, ServerExitIsAnErrorNotAnExit) {
  auto server = std::make_unique<testsupport::Xvfb>(testsupport::Xvfb::twoMonitors());
  auto service = x11::makeCaptureService(server->displayName());
  auto displays = service->shareableDisplays();
  ASSERT_FALSE(displays.empty());
  FrameRecorder recorder;
  auto stream = service->startStream(displays.front(), {}, recorder.output(), recorder.ended());
  ASSERT_TRUE(recorder.waitBeyond(0));

  server.reset();  // kills the server
  std::this_thread::sleep_for(200ms);
  EXPECT_THROW(service->shareableDisplays(), CaptureError);
  EXPECT_THROW(service->screenshot(displays.front(), {}), CaptureError);
  const int before = recorder.count();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(recorder.count(), before);
  recorder.waitForEnd();
  EXPECT_EQ(recorder.endings(), std::vector<std::string>{"the connection to the X server was lost"})
      << "the stream says once that it ended";
  stream->stop();
}

}  // namespace
}  // namespace marlinax::platform
