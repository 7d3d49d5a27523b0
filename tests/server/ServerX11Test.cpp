// The server handler on a private X server with two monitors, with the real
// capture and input services: the display list, casting what is drawn, the
// mask confirmation with real frames, and a click that lands where the
// headset pointed.

#include <gtest/gtest.h>
// After gtest: Xlib defines macros (Bool, None) that clash with it.
#include <X11/Xlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include <asio/thread_pool.hpp>

#include "media/Masks.h"
#include "support/IoHarness.h"
#include "messaging/Multiplexer.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "server/ProtocolImplementation.h"
#include "server/TestHeadset.h"
#include "support/Xvfb.h"

namespace marlinax::server {
namespace {

using namespace messaging;
using marlinax::testing::IoHarness;
using testpeer::ReceivedFrame;
using testpeer::TestHeadset;

class XConnection {
 public:
  explicit XConnection(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
    if (!display_)
      throw std::runtime_error("cannot open " + name);
    gc_ = XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr);
    XSetSubwindowMode(display_, gc_, IncludeInferiors);
  }
  ~XConnection() {
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }
  void fill(int x, int y, int width, int height, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, DefaultRootWindow(display_), gc_, x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XSync(display_, False);
  }
  std::pair<int, int> pointer() {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
    return {rootX, rootY};
  }

 private:
  ::Display* display_;
  GC gc_;
};

class ServerX11Test : public ::testing::Test {
 protected:
  ServerX11Test() : xvfb(testsupport::Xvfb::twoMonitors()), x(xvfb.displayName()) {
    Services services;
    services.capture = platform::x11::makeCaptureService(xvfb.displayName());
    auto poster = std::make_shared<platform::InputPosterX11>(xvfb.displayName());
    services.input = poster;
    services.doubleClickInterval = poster;
    services.frameExecutor = cpu.get_executor();
    handler = std::make_shared<ProtocolImplementation>(services);
    auto [local, remote] = transport::Connection::makePipe(io.executor());
    headsetEnd = remote;
    server.emplace(io.executor(), local, handler);
    handler->setRemote(Remote(*server));
    client.emplace(io.executor(), headsetEnd, headset);
  }

  ~ServerX11Test() override {
    headset->releaseAll();
    headsetEnd.close();
    EXPECT_TRUE(IoHarness::eventually([&] { return client->finished() && server->finished(); }));
    EXPECT_TRUE(IoHarness::eventually([&] { return handler->castingCount() == 0; }));
    io.stop();
    cpu.join();
  }

  template <class M>
  typename M::Reply call(typename M::Request request) {
    return io.await(Remote::callOver<M>(*client, std::move(request)));
  }

  std::uint32_t displayAt(double x) {
    auto list = call<serverMessages::Windows>({});
    for (const Display& display : list.displays)
      if (display.frame.x == x)
        return display.identifier;
    throw std::runtime_error("no display at that x");
  }

  // Draws until a frame newer than `count` frames has arrived, and returns it.
  ReceivedFrame drawUntilFrame(std::size_t count, unsigned long rgb) {
    std::optional<ReceivedFrame> found;
    EXPECT_TRUE(IoHarness::eventually([&] {
      x.fill(2000, 100, 300, 200, rgb);
      auto frames = headset->frames();
      if (frames.size() <= count)
        return false;
      found = frames.back();
      return true;
    }));
    if (!found)
      throw std::runtime_error("no frame arrived");
    return *found;
  }

  testsupport::Xvfb xvfb;
  XConnection x;
  IoHarness io;
  asio::thread_pool cpu{2};
  std::shared_ptr<ProtocolImplementation> handler;
  std::shared_ptr<TestHeadset> headset = std::make_shared<TestHeadset>();
  transport::Connection headsetEnd;
  std::optional<Multiplexer> server, client;
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
  std::size_t seen = headset->frameCount();
  bool sawWithout = false;
  EXPECT_TRUE(IoHarness::eventually([&] {
    ReceivedFrame next = drawUntilFrame(seen, seen % 2 ? 0x00FF00 : 0x0000FF);
    seen = headset->frameCount();
    sawWithout = !next.fragment.hasMask;
    return sawWithout;
  }));

  call<serverMessages::StopCasting>({.identifier = right});
  EXPECT_EQ(handler->castingCount(), 0u);
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
