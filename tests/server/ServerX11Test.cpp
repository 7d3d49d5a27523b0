// The server handler on a private X server with two monitors, with the real
// capture service: what is drawn on the monitor asked for reaches
// the headset's frames, through the X damage reports and the segment cache.
// (The display list, masks and input over the whole stack are the end-to-end
// test's; each part alone has its own unit test.)

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include <turbojpeg.h>

#include "platform/x11/CaptureX11.h"
#include "server/ProtocolImplementation.h"
#include "server/TestHeadset.h"
// After gtest: Xlib, which XPainter brings, defines macros (Bool, None) that clash with it.
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

TEST(ServerX11, CastsWhatIsDrawnOnTheMonitorAskedFor) {
  testsupport::Xvfb xvfb{testsupport::Xvfb::twoMonitors()};
  testsupport::XPainter x{xvfb.displayName()};
  Services services;
  services.capture = platform::x11::makeCaptureService(xvfb.displayName());
  HeadsetLink link{std::move(services)};
  std::vector<Display> displays = link.call<serverMessages::Windows>({}).displays;
  auto right = std::ranges::find(displays, 1920.0, [](const Display& display) { return display.frame.x; });
  ASSERT_NE(right, displays.end());
  link.call<serverMessages::StartCasting>({.identifier = right->identifier});
  ASSERT_TRUE(IoHarness::eventually([&] {
    x.fill(2000, 100, 300, 200, 0xFF0000);
    return !link.headset->frames().empty();
  }));
  const ReceivedFrame first = link.headset->frames().front();
  const auto& format = first.fragment.sampleBuffer.formatDescription;
  EXPECT_EQ(std::tuple(first.identifier, format.width, format.height), std::tuple(right->identifier, 2400u, 1280u));

  // Only what the capture reports as damaged is compressed again, and what is
  // painted shows: the middle of the painted area, scaled to 2400 x 1280.
  EXPECT_TRUE(IoHarness::eventually([&] {
    x.fill(2000, 100, 300, 200, 0x00FF00);
    x.fill(1920, 900, 40, 40, 0xFF00FF);  // elsewhere, so that frames keep coming
    return greenAt(link.headset->frames().back(), (2150 - 1920) * 2400 / 1920, 200 * 1280 / 1080);
  }));

  link.call<serverMessages::StopCasting>({.identifier = right->identifier});
  EXPECT_EQ(link.handler->castingCount(), 0u);
}

}  // namespace
}  // namespace marlinax::server
