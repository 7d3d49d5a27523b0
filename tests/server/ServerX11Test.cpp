// The server handler on a private X server with two monitors, with the real
// capture and input services: the display list, casting what is drawn, the
// mask confirmation with real frames, and a click that lands where the
// headset pointed.

#include <gtest/gtest.h>
// After gtest: Xlib defines macros (Bool, None) that clash with it.
#include <X11/Xlib.h>
#include <turbojpeg.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/Masks.h"
#include "messaging/Multiplexer.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "server/ProtocolImplementation.h"
#include "server/TestHeadset.h"
#include "support/XPainter.h"
#include "support/Xvfb.h"

namespace marlinax::server {
namespace {

using namespace messaging;
using marlinax::testing::IoHarness;
using testpeer::HeadsetLink;
using testpeer::ReceivedFrame;

// Whether the frame's pixel at (x, y) is pure green, give or take the JPEG.
bool greenAt(const ReceivedFrame& frame, int x, int y) {
  const Bytes& jpeg = frame.fragment.sampleBuffer.data;
  std::vector<unsigned char> rgb(2400 * 1280 * 3);
  tjhandle handle = tjInitDecompress();
  const bool decoded = tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data(), 2400, 0, 1280, TJPF_RGB, 0) == 0;
  tjDestroy(handle);
  const unsigned char* pixel = &rgb[(static_cast<std::size_t>(y) * 2400 + x) * 3];
  return decoded && pixel[0] < 16 && pixel[1] > 240 && pixel[2] < 16;
}

Services x11Services(const std::string& display) {
  Services services;
  services.capture = platform::x11::makeCaptureService(display);
  auto poster = std::make_shared<platform::InputPosterX11>(display);
  services.input = poster;
  services.doubleClickInterval = poster;
  return services;
}

class ServerX11Test : public ::testing::Test {
 protected:
  ~ServerX11Test() override {
    link.close();
    EXPECT_TRUE(IoHarness::eventually([&] { return link.handler->castingCount() == 0; }));
  }

  template <class M>
  typename M::Reply call(typename M::Request request) {
    return link.call<M>(std::move(request));
  }

  std::uint32_t displayAt(double x) {
    for (const Display& display : call<serverMessages::Windows>({}).displays)
      if (display.frame.x == x)
        return display.identifier;
    throw std::runtime_error("no display at that x");
  }

  // Draws until a frame newer than `count` frames has arrived, and returns it.
  ReceivedFrame drawUntilFrame(std::size_t count, unsigned long rgb) {
    std::optional<ReceivedFrame> found;
    EXPECT_TRUE(IoHarness::eventually([&] {
      x.fill(2000, 100, 300, 200, rgb);
      auto frames = link.headset->frames();
      if (frames.size() <= count)
        return false;
      found = frames.back();
      return true;
    }));
    if (!found)
      throw std::runtime_error("no frame arrived");
    return *found;
  }

  testsupport::Xvfb xvfb{testsupport::Xvfb::twoMonitors()};
  testsupport::XPainter x{xvfb.displayName()};
  HeadsetLink link{x11Services(xvfb.displayName())};
};

TEST_F(ServerX11Test, ListsTheMonitorsAndCastsTheOneAskedFor) {
  auto list = call<serverMessages::Windows>({});
  ASSERT_EQ(list.displays.size(), 2u);
  for (const Display& display : list.displays) {
    EXPECT_EQ(display.title, "Display " + std::to_string(display.identifier));
    EXPECT_EQ(display.app, "");
    EXPECT_EQ(display.windowLayer, 0);
    EXPECT_EQ(display.frame.width, 1920);
    EXPECT_EQ(display.frame.height, 1080);
  }
  std::uint32_t right = displayAt(1920);

  call<serverMessages::StartCasting>({.identifier = right});
  ReceivedFrame first = drawUntilFrame(0, 0xFF0000);
  EXPECT_EQ(first.identifier, right);
  EXPECT_EQ(first.fragment.sampleBuffer.formatDescription.width, 2400u);
  EXPECT_EQ(first.fragment.sampleBuffer.formatDescription.height, 1280u);
  ASSERT_TRUE(first.fragment.hasMask);
  Bytes plane = peer::decompressMask(first.fragment);
  EXPECT_EQ(first.fragment.maskWidth, 2400u);
  EXPECT_EQ(first.fragment.maskHeight, 1280u);
  // Captured frames are opaque: every pixel of the mask is 0xFF.
  for (std::size_t row = 0; row < first.fragment.maskHeight; row += 97)
    EXPECT_EQ(plane[row * first.fragment.maskStride + 1234], 0xFF);

  // Once confirmed, later frames leave the mask out.
  media::Sha256Digest digest = media::sha256(plane);
  call<serverMessages::WindowMask>({.identifier = right, .hash = Bytes(digest.begin(), digest.end())});
  std::size_t seen = link.headset->frameCount();
  bool sawWithout = false;
  EXPECT_TRUE(IoHarness::eventually([&] {
    ReceivedFrame next = drawUntilFrame(seen, seen % 2 ? 0x00FF00 : 0x0000FF);
    seen = link.headset->frameCount();
    sawWithout = !next.fragment.hasMask;
    return sawWithout;
  }));

  // Only what the capture reports as damaged is compressed again, and what is
  // painted shows: the middle of the painted area, scaled to 2400 x 1280.
  EXPECT_TRUE(IoHarness::eventually([&] {
    x.fill(2000, 100, 300, 200, 0x00FF00);
    x.fill(1920, 900, 40, 40, 0xFF00FF);  // elsewhere, so that frames keep coming
    auto frames = link.headset->frames();
    return greenAt(frames.back(), (2150 - 1920) * 2400 / 1920, 200 * 1280 / 1080);
  }));

  call<serverMessages::StopCasting>({.identifier = right});
  EXPECT_EQ(link.handler->castingCount(), 0u);
}

TEST_F(ServerX11Test, ClickLandsAtTheFractionOfTheNamedDisplay) {
  std::uint32_t right = displayAt(1920);
  call<serverMessages::MouseMoved>({.identifier = right, .x = 0.5, .y = 0.5});
  EXPECT_TRUE(IoHarness::eventually([&] { return x.pointer() == std::make_pair(2880, 540); }));
  call<serverMessages::Clicked>({.identifier = right, .x = 0.25, .y = 0.75});
  EXPECT_TRUE(IoHarness::eventually([&] { return x.pointer() == std::make_pair(2400, 810); }));
  // A display that does not exist moves nothing; the move after it does.
  call<serverMessages::MouseMoved>({.identifier = 12345, .x = 0, .y = 0});
  call<serverMessages::MouseMoved>({.identifier = right, .x = 0.5, .y = 0.25});
  EXPECT_TRUE(IoHarness::eventually([&] { return x.pointer() == std::make_pair(2880, 270); }));
}

}  // namespace
}  // namespace marlinax::server
