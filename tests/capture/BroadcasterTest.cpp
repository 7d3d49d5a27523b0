#include "capture/Broadcaster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "async/Queue.h"
#include "platform/fake/FakeCapture.h"

namespace marlinax::capture {
namespace {

using namespace std::chrono_literals;
using platform::DisplayInfo;
using platform::FakeCaptureService;
using Table = std::vector<std::pair<std::uint32_t, double>>;

DisplayInfo display(std::uint32_t id, double x = 0) { return {id, {x, 0, 1920, 1080}}; }

// The tag of the next unread frame: -1 when there is none, 0x100 for a status-only sample.
int nextTag(FrameSequence& frames) {
  const std::optional<platform::SampleBuffer> sample = frames.tryNext();
  return !sample ? -1 : sample->image ? sample->image->pixels[0] : 0x100;
}

class BroadcasterTest : public ::testing::Test {
 protected:
  // The display table as (identifier, left edge) pairs.
  Table table() const {
    Table entries;
    for (const DisplayInfo& entry : broadcaster.displays()) entries.emplace_back(entry.displayID, entry.frame.x);
    return entries;
  }

  std::shared_ptr<FakeCaptureService> service =
      std::make_shared<FakeCaptureService>(std::vector<DisplayInfo>{display(1), display(2, 1920)});
  std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};  // moved by hand
  Broadcaster broadcaster{service, [this] { return now; }};
};

TEST_F(BroadcasterTest, DisplayTableIsFetchedWhenForcedStaleOrMissingAnEntry) {
  // Each row moves the clock, refreshes (forced or not) and expects that many fetches in all.
  const std::tuple<std::chrono::milliseconds, bool, int> rows[] = {
      {0ms, false, 1},                       // created with a fetch time two seconds back
      {500ms, false, 1}, {500ms, false, 1},  // exactly one second: still fresh
      {500ms, false, 2}, {0ms, true, 3},
      {0ms, true, 4},    {1000ms, false, 4},  // the forced fetch restarted the interval
  };
  for (const auto& [advance, forced, fetches] : rows) {
    now += advance;
    broadcaster.refreshDisplays(forced);
    EXPECT_EQ(service->fetchCount(), fetches) << "after " << service->fetchCount();
  }

  // A failed fetch keeps the table and the fetch time: the next unforced refresh fetches again.
  now += 500ms;
  service->setDisplays({display(5, 10), display(3, 20), display(5, 30), display(4, 40)});
  service->setFetchFailure("no permission");
  EXPECT_THROW(broadcaster.refreshDisplays(false), platform::CaptureError);
  EXPECT_THROW(broadcaster.display(3), platform::CaptureError);
  EXPECT_EQ(table(), (Table{{1, 0}, {2, 1920}}));
  service->setFetchFailure(std::nullopt);
  broadcaster.refreshDisplays(false);
  EXPECT_EQ(service->fetchCount(), 7);
  EXPECT_EQ(table(), (Table{{5, 10}, {3, 20}, {4, 40}}));  // list order, the first entry per identifier

  // A hit does not fetch; a miss refetches once, which finds a display that appeared.
  EXPECT_EQ(broadcaster.display(3).value().frame, (codec::Rect{20, 0, 1920, 1080}));
  EXPECT_FALSE(broadcaster.display(99));
  EXPECT_EQ(service->fetchCount(), 8);
  service->setDisplays({display(6, 3840)});
  EXPECT_EQ(broadcaster.display(6).value().frame.x, 3840);
  EXPECT_EQ(service->fetchCount(), 9);
}

// The newest unread frame replaces older ones, status-only samples pass through, a stop
// drops the unread frame, and a failed start leaves nothing running.
TEST_F(BroadcasterTest, SequencesOfStreamsAndChildWindows) {
  auto stream = broadcaster.makeStream(display(1));
  for (std::uint8_t tag : {10, 11, 12}) EXPECT_EQ(service->push(1, FakeCaptureService::makeFrame(4, 2, tag)), 1);
  EXPECT_EQ(nextTag(*stream.frames), 12);
  service->push(1, platform::SampleBuffer{});
  EXPECT_EQ(nextTag(*stream.frames), 0x100);

  service->push(1, FakeCaptureService::makeFrame(2, 2, 1));
  stream.stop();
  stream.stop();  // idempotent
  EXPECT_EQ(nextTag(*stream.frames), -1);
  EXPECT_EQ(service->stopCount(), 1);
  service->setStartFailure("refused");
  EXPECT_THROW(broadcaster.makeStream(display(1)), platform::CaptureError);
  EXPECT_EQ(service->runningStreams(), 0);

  // A child-window sequence ends when its display is watched anew or no longer.
  auto first = broadcaster.watchChildWindows(4);
  auto second = broadcaster.watchChildWindows(4);
  EXPECT_TRUE(first->isFinished());
  EXPECT_EQ(broadcaster.childObservers(), std::set<std::uint32_t>{4});
  broadcaster.removeChildObserver(9);  // not watched: no effect
  EXPECT_FALSE(second->isFinished());
  broadcaster.removeChildObserver(4);
  EXPECT_TRUE(second->isFinished());
  EXPECT_TRUE(broadcaster.childObservers().empty());
}

// A producer in another thread and a reader polling meanwhile: the reader sees frames in
// capture order, never one twice, and always the last one.
TEST_F(BroadcasterTest, ConcurrentProducerNewestFrameAlwaysArrives) {
  auto stream = broadcaster.makeStream(display(1));
  constexpr int frameCount = 250;
  std::thread producer([&] {
    for (int i = 0; i < frameCount; ++i)
      service->push(1, FakeCaptureService::makeFrame(8, 8, static_cast<std::uint8_t>(i)));
  });
  std::vector<int> tags;
  while (tags.empty() || tags.back() != frameCount - 1)
    if (const int tag = nextTag(*stream.frames); tag >= 0) tags.push_back(tag);
  producer.join();
  for (std::size_t i = 1; i < tags.size(); ++i) EXPECT_LT(tags[i - 1], tags[i]);
  EXPECT_EQ(tags.size() + stream.frames->dropped(), static_cast<std::size_t>(frameCount));
}

}  // namespace
}  // namespace marlinax::capture
