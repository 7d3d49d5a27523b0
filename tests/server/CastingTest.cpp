// The server handler with in-memory platform parts: displays, previews,
// casting with the mask memory, bounded frames in flight, the end of the
// connection, and input. A test headset on the other end of an in-memory pair
// answers (or withholds) the frame requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include "media/Masks.h"
#include "peer/FragmentReader.h"
#include "platform/fake/FakeCapture.h"
#include "platform/fake/FakeInputPoster.h"
#include "server/ProtocolImplementation.h"
#include "server/TestHeadset.h"
#include "support/IoHarness.h"

namespace marlinax::server {
namespace {

using namespace messaging;
using namespace messaging::serverMessages;
using platform::FakeCaptureService;
using platform::PostedInput;
using testing::IoHarness;
using testpeer::ReceivedFrame;

constexpr std::uint32_t kMain = 7;
constexpr std::uint32_t kSide = 9;
constexpr std::chrono::milliseconds kNoWait{0};

// A small frame whose presentation time is `tag` nanoseconds (so that the
// headset can tell frames apart).
platform::SampleBuffer frame(std::uint8_t tag) { return FakeCaptureService::makeFrame(32, 16, tag); }

class CastingTest : public ::testing::Test {
 protected:
  CastingTest() { start(); }

  // Serves a new handler; the one before is gone with its reports.
  void start(bool withRemote = true, bool segmentCache = true) {
    link.reset();
    endedReports = 0;
    capture->setHonoursDemand(true);
    Services services;
    services.capture = capture;
    services.input = poster;
    services.doubleClickInterval = poster;
    services.maxFramesInFlight = 3;
    services.segmentCache = segmentCache;
    services.connectionEnded = [this](std::size_t stopped) {
      endedReports++;
      stoppedOnEnd = stopped;
    };
    link.emplace(std::move(services), withRemote);
  }

  ~CastingTest() override {
    link->close();
    // Whatever the test did, nothing keeps capturing once the headset is gone.
    EXPECT_TRUE(IoHarness::eventually([&] { return capture->runningStreams() == 0; }));
  }

  // Pushes a frame into the display's stream and waits until the headset has
  // received one more frame; returns it.
  ReceivedFrame pushAndReceive(std::uint32_t display, const platform::SampleBuffer& sample) {
    std::size_t before = link->headset->frames().size();
    EXPECT_EQ(capture->push(display, sample), 1);
    EXPECT_TRUE(IoHarness::eventually([&] { return link->headset->frames().size() > before; }));
    return link->headset->frames().at(before);
  }

  std::size_t inFlight(std::uint32_t display) const {
    auto cast = link->handler->casts().find(display);
    return cast ? cast->framesInFlight() : 0;
  }

  std::shared_ptr<FakeCaptureService> capture = std::make_shared<FakeCaptureService>(std::vector{
      platform::DisplayInfo{kMain, {0, 0, 1920, 1080}}, platform::DisplayInfo{kSide, {1920, 0, 1280, 800}}});
  std::shared_ptr<platform::FakeInputPoster> poster = std::make_shared<platform::FakeInputPoster>();
  std::atomic<int> endedReports = 0;
  std::atomic<std::size_t> stoppedOnEnd = 0;
  std::optional<testpeer::HeadsetLink> link;
};

// A failed display fetch fails the request (no reply, nothing posted) and the
// connection goes on. Pointer requests use the named display's frame, scrolling
// and keys need none; input requests among many frames of both displays at once
// all arrive.
TEST_F(CastingTest, DisplaysPreviewsAndInputAloneAndAmongFramesOfTwoDisplays) {
  capture->setFetchFailure("gone");
  auto failedList = link->start<Windows>({});
  auto failedClick = link->start<Clicked>({.identifier = kMain, .x = 0, .y = 0});
  EXPECT_TRUE(IoHarness::eventually([&] { return capture->fetchCount() == 2; }));
  capture->setFetchFailure(std::nullopt);
  link->call<Typed>({.identifier = 4242, .key = input::KeyCode::key_Command, .down = true});
  EXPECT_EQ(std::pair(failedList.wait_for(kNoWait), failedClick.wait_for(kNoWait)),
            std::pair(std::future_status::timeout, std::future_status::timeout));

  auto list = link->call<Windows>({});
  ASSERT_EQ(list.displays.size(), 2u);
  EXPECT_EQ(
      list.displays[1],
      (Display{.identifier = kSide, .title = "Display 9", .app = "", .frame = {1920, 0, 1280, 800}, .windowLayer = 0}));
  // No such display, even after the refetch, and a screenshot that brings
  // nothing: the absent optional (a preview with an image is the mask walk's).
  EXPECT_EQ(link->call<WindowPreview>({.identifier = 12345}), std::nullopt);
  EXPECT_EQ(capture->screenshotCount(), 0);
  capture->setScreenshotEmpty(true);
  EXPECT_EQ(link->call<WindowPreview>({.identifier = kMain}), std::nullopt);
  const auto shot = capture->lastScreenshotConfiguration().value();
  EXPECT_EQ(std::tuple(shot.width, shot.height, shot.showsCursor), std::tuple(1200, 640, true));

  link->call<Clicked>({.identifier = kSide, .x = 0.5, .y = 0.5});
  link->call<MouseMoved>({.identifier = kMain, .x = -0.5, .y = 2.0});
  // A display that does not exist posts nothing; scrolling needs none.
  link->call<Clicked>({.identifier = 4242, .x = 0.5, .y = 0.5});
  link->call<MouseMoved>({.identifier = 4242, .x = 0.5, .y = 0.5});
  link->call<ScrollChanged>({.identifier = 4242, .x = 10.7, .y = -3.9});
  std::vector<PostedInput> expected = {PostedInput::keyEvent(input::KeyCode::key_Command, true),
                                       PostedInput::leftDown(2560, 400, 1), PostedInput::leftUp(2560, 400, 1),
                                       PostedInput::move(-960, 2160),
                                       PostedInput::scroll(platform::ScrollPhase::changed, 10, -3)};
  EXPECT_EQ(poster->events(), expected);

  poster->clear();
  link->call<StartCasting>({.identifier = kMain});
  link->call<StartCasting>({.identifier = kSide});
  // Every frame that is sent arrives whole and names its display.
  std::vector<std::future<SerializableVoid>> moves;
  for (int i = 0; i < 40; ++i) {
    capture->push(i % 2 ? kMain : kSide, frame(static_cast<std::uint8_t>(100 + i)));
    moves.push_back(link->start<MouseMoved>({.identifier = kSide, .x = 0.25, .y = 0.5}));
  }
  for (auto& move : moves) IoHarness::get(std::move(move));
  EXPECT_TRUE(IoHarness::eventually([&] { return inFlight(kMain) == 0 && inFlight(kSide) == 0; }));
  std::set<std::pair<std::uint32_t, std::uint32_t>> named;  // display, width
  for (const ReceivedFrame& received : link->headset->frames())
    named.insert({received.identifier, received.fragment.sampleBuffer.formatDescription.width});
  EXPECT_EQ(named, (std::set<std::pair<std::uint32_t, std::uint32_t>>{{kMain, 32}, {kSide, 32}}));
  EXPECT_EQ(poster->events().size(), 40u);
}

// Frames without a remote, frames that cannot be encoded and status-only
// samples leave no trace. A mask travels until the headset confirms it, and a
// preview leaves the confirmation alone (the confirmation sequence itself is the
// mask table's test); a restart forgets it. When only the connection and the
// tasks keep the handler, as in the server, the connection's end still stops
// the casting.
TEST_F(CastingTest, StartRestartAndStopWithTheMaskMemoryAndFramesThatLeaveNoTrace) {
  start(/*withRemote=*/false);
  // Stopping a display that is not cast is answered and changes nothing.
  link->call<StopCasting>({.identifier = kSide});
  link->call<StopCasting>({.identifier = 4242});
  // An unknown display: answered, but no stream and no loop.
  link->call<StartCasting>({.identifier = 4242});
  EXPECT_EQ(std::pair(capture->startCount(), link->handler->castingCount()), std::pair(0, std::size_t{0}));

  // A capture that cannot start fails the request and registers nothing.
  capture->setStartFailure("refused");
  auto failed = link->start<StartCasting>({.identifier = kMain});
  EXPECT_TRUE(IoHarness::eventually([&] { return capture->lastStreamConfiguration().has_value(); }));
  capture->setStartFailure(std::nullopt);
  link->call<VisionOSHandshake>({.version = 1});
  EXPECT_EQ(std::pair(failed.wait_for(kNoWait), link->handler->castingCount()),
            std::pair(std::future_status::timeout, std::size_t{0}));

  link->call<StartCasting>({.identifier = kMain});
  // No remote yet: the frames are dropped and their slots come back.
  for (std::uint8_t tag = 1; tag <= 5; ++tag) {
    capture->push(kMain, frame(tag));
    EXPECT_TRUE(IoHarness::eventually([&] { return link->handler->casts().find(kMain)->framesFinished() == tag; }));
  }
  EXPECT_EQ(std::pair(inFlight(kMain), link->headset->frames().size()), std::pair(std::size_t{0}, std::size_t{0}));
  link->attachRemote();
  // A frame that cannot be encoded (rows longer than its buffer) and a
  // status-only sample are dropped; the next frame goes out as usual.
  platform::SampleBuffer broken = frame(6);
  auto image = std::make_shared<platform::Image>(*broken.image);
  image->stride = image->width * 8;
  broken.image = image;
  capture->push(kMain, broken);
  EXPECT_TRUE(IoHarness::eventually([&] { return link->handler->casts().find(kMain)->framesFinished() == 6; }));
  capture->push(kMain, platform::SampleBuffer{});
  ReceivedFrame first = pushAndReceive(kMain, frame(7));
  EXPECT_EQ(std::tuple(first.identifier, first.tag(), first.fragment.hasMask, link->headset->frames().size()),
            std::tuple(kMain, 7, true, 1u));
  EXPECT_TRUE(pushAndReceive(kMain, frame(2)).fragment.hasMask) << "unconfirmed masks keep travelling";
  media::Sha256Digest digest = media::sha256(peer::decompressMask(first.fragment));
  link->call<WindowMask>({.identifier = kMain, .hash = Bytes(digest.begin(), digest.end())});
  EXPECT_TRUE(peer::readFragment(link->call<WindowPreview>({.identifier = kMain}).value()).hasMask);
  EXPECT_FALSE(pushAndReceive(kMain, frame(2)).fragment.hasMask);
  // Starting again restarts the stream: a still screen sends its first frame,
  // with the mask, at once, and the replaced cast's loop ends and lets go of
  // everything it held.
  capture->setScreen(kMain, frame(2));
  std::weak_ptr<DisplayCast> replaced = link->handler->casts().find(kMain);
  link->call<StartCasting>({.identifier = kMain});
  EXPECT_TRUE(IoHarness::eventually([&] { return replaced.expired() && link->headset->frames().size() == 4; }));
  EXPECT_EQ(std::pair(link->headset->frames().at(3).tag(), link->headset->frames().at(3).fragment.hasMask),
            std::pair(std::int64_t{2}, true));
  EXPECT_EQ(std::tuple(capture->runningStreams(kMain), capture->startCount(), link->handler->castingCount()),
            std::tuple(1, 2, 1u));
  EXPECT_TRUE(pushAndReceive(kMain, frame(3)).fragment.hasMask) << "the restarted stream's mask is unconfirmed";

  // One stop ends the only stream and its loop.
  std::weak_ptr<DisplayCast> stopped = link->handler->casts().find(kMain);
  link->call<StopCasting>({.identifier = kMain});
  EXPECT_TRUE(IoHarness::eventually([&] { return stopped.expired(); }));
  EXPECT_EQ(std::tuple(capture->runningStreams(kMain), capture->push(kMain, frame(4)), link->handler->castingCount()),
            std::tuple(0, 0, 0u));

  link->call<StartCasting>({.identifier = kSide});
  link->handler.reset();
  link->headsetEnd.close();
  EXPECT_TRUE(IoHarness::eventually([&] { return endedReports.load() == 1; }));
  EXPECT_EQ(std::tuple(stoppedOnEnd.load(), capture->runningStreams()), std::tuple(1u, 0));
}

// The cache's frames are one whole compression with restart markers (their
// bytes are the segment encoder's test), plain compressions have none; the
// cache takes the capture's word on what changed.
TEST_F(CastingTest, TheSegmentCacheCanBeTurnedOffAndTrustsTheCapturesDamage) {
  constexpr std::array<std::uint8_t, 2> kRestartInterval{0xFF, 0xDD};  // the JPEG marker
  for (bool cached : {true, false}) {
    SCOPED_TRACE(cached);
    start(true, cached);
    link->call<StartCasting>({.identifier = kMain});
    platform::SampleBuffer sample = FakeCaptureService::makeFrame(64, 48, 1);
    Bytes previous = pushAndReceive(kMain, sample).fragment.sampleBuffer.data;
    EXPECT_EQ(std::ranges::search(previous, kRestartInterval).empty(), !cached);
    // The same one-pixel change, reported, then not: only the cache misses the latter.
    for (bool reported : {true, false}) {
      auto image = std::make_shared<platform::Image>(*sample.image);
      image->row(40)[4 * 60] ^= 0xFF;
      sample.image = image;
      sample.damage = reported ? std::vector<platform::ImageRect>{{60, 40, 1, 1}} : std::vector<platform::ImageRect>{};
      Bytes jpeg = pushAndReceive(kMain, sample).fragment.sampleBuffer.data;
      EXPECT_EQ(jpeg == previous, cached && !reported) << reported;
      previous = jpeg;
    }
  }
}

// A slow headset never has more frames in flight than the bound and gets the
// newest frame; a capture that ends on its own ends its display's casting; the
// connection's end stops every stream, loop and frame waiting for a slot or a
// reply, and is reported once.
TEST_F(CastingTest, ASlowHeadsetACaptureThatEndsOnItsOwnAndTheConnectionsEnd) {
  link->headset->holding = true;
  link->call<StartCasting>({.identifier = kMain});
  link->call<StartCasting>({.identifier = kSide});
  for (std::uint8_t tag = 1; tag <= 3; ++tag) EXPECT_EQ(pushAndReceive(kMain, frame(tag)).tag(), tag);
  EXPECT_EQ(std::pair(inFlight(kMain), capture->grabCount()), std::pair(std::size_t{3}, 3));

  // Every slot is busy: the screen changes are coalesced by the capture,
  // nothing is grabbed and nothing is sent.
  for (std::uint8_t tag = 10; tag <= 30; ++tag) {
    capture->push(kMain, frame(tag));
    EXPECT_LE(link->server->pendingRequests(), 3u);
    EXPECT_LE(inFlight(kMain), 3u);
  }
  EXPECT_EQ(std::pair(link->headset->frames().size(), capture->grabCount()), std::pair(std::size_t{3}, 3));

  // One reply frees one slot, which asks for a frame: one grab, the newest.
  link->headset->releases->push(true);
  EXPECT_TRUE(IoHarness::eventually([&] { return link->headset->frames().size() == 4; }));
  EXPECT_EQ(std::tuple(link->headset->frames().at(3).tag(), capture->grabCount(), link->server->pendingRequests()),
            std::tuple(std::int64_t{30}, 4, 3u));

  // Two more replies leave one frame waiting for its reply when the display
  // goes away: its stream is unregistered and stopped, the loop ends, the
  // other display casts on; once its last frame is answered nothing of the
  // cast is left.
  link->headset->releases->push(true);
  link->headset->releases->push(true);
  EXPECT_TRUE(IoHarness::eventually([&] { return inFlight(kMain) == 1; }));
  std::weak_ptr<DisplayCast> failed = link->handler->casts().find(kMain);
  EXPECT_EQ(capture->endStreams(kMain, "the display was removed"), 1);
  EXPECT_TRUE(
      IoHarness::eventually([&] { return capture->runningStreams(kMain) == 0 && link->handler->castingCount() == 1; }));
  link->headset->releases->push(true);
  EXPECT_TRUE(IoHarness::eventually([&] { return failed.expired(); }));
  EXPECT_EQ(pushAndReceive(kSide, frame(40)).identifier, kSide);
  // Casting the display again starts a new stream.
  link->call<StartCasting>({.identifier = kMain});
  for (std::uint8_t tag = 41; tag <= 43; ++tag) EXPECT_EQ(pushAndReceive(kMain, frame(tag)).tag(), tag);

  // Four frames wait for their replies, one more for a slot.
  capture->push(kMain, frame(44));
  link->call<StartWatchingForChildWindows>({.identifier = kMain});
  EXPECT_EQ(std::tuple(link->server->pendingRequests(), capture->runningStreams()), std::tuple(4u, 2));
  link->headsetEnd.close();
  EXPECT_TRUE(IoHarness::eventually([&] { return endedReports.load() == 1; }));
  EXPECT_EQ(std::tuple(stoppedOnEnd.load(), capture->runningStreams(), link->handler->connectionHasEnded()),
            std::tuple(2u, 0, true));
  EXPECT_TRUE(IoHarness::eventually([&] { return link->server->pendingRequests() == 0 && inFlight(kMain) == 0; }));
  EXPECT_EQ(link->handler->castingCount(), 0u);
  // Nothing is started for a headset that is gone.
  link->io.await(link->handler->startCasting({.identifier = kMain}));
  EXPECT_EQ(std::pair(capture->runningStreams(), link->handler->endConnection()), std::pair(0, std::size_t{0}));
  EXPECT_EQ(endedReports.load(), 1) << "reported once";
}

}  // namespace
}  // namespace marlinax::server
