#include "capture/Broadcaster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "async/Queue.h"
#include "platform/fake/FakeCapture.h"

namespace marlinax::capture {
namespace {

using namespace std::chrono_literals;
using platform::DisplayInfo;
using platform::FakeCaptureService;
using platform::SampleBuffer;

// A clock the test moves by hand.
struct ManualClock {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
  Broadcaster::Clock function() {
    return [this] { return now; };
  }
};

DisplayInfo display(std::uint32_t id, double x = 0) { return {id, {x, 0, 1920, 1080}}; }

std::uint8_t tagOf(const SampleBuffer& sample) { return sample.image->pixels[0]; }

// Reads every frame of a stream in a coroutine until the sequence ends.
std::vector<std::uint8_t> readAll(const std::shared_ptr<FrameSequence>& frames, asio::io_context& context) {
  std::vector<std::uint8_t> tags;
  asio::co_spawn(
      context,
      [&]() -> asio::awaitable<void> {
        while (auto sample = co_await frames->next()) tags.push_back(tagOf(*sample));
      },
      asio::detached);
  context.run();
  return tags;
}

class BroadcasterTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeCaptureService> service =
      std::make_shared<FakeCaptureService>(std::vector<DisplayInfo>{display(1), display(2, 1920)});
  ManualClock clock;
  Broadcaster broadcaster{service, clock.function()};
};

TEST_F(BroadcasterTest, RefreshFetchesOnlyWhenForcedOrStaleAndAFailedFetchChangesNothing) {
  // Each row moves the clock, refreshes (forced or not) and expects that many fetches in all.
  struct Row {
    std::chrono::milliseconds advance;
    bool forced;
    int fetches;
  };
  const Row rows[] = {
      {0ms, false, 1},                       // created with a fetch time two seconds back
      {500ms, false, 1}, {500ms, false, 1},  // exactly one second: still fresh
      {500ms, false, 2}, {0ms, true, 3},
      {0ms, true, 4},    {1000ms, false, 4},  // the forced fetch restarted the interval
  };
  for (const Row& row : rows) {
    clock.now += row.advance;
    broadcaster.refreshDisplays(row.forced);
    EXPECT_EQ(service->fetchCount(), row.fetches) << "row " << &row - rows;
  }
  EXPECT_EQ(broadcaster.displays().size(), 2u);

  // A failed fetch keeps the table and the fetch time: the next unforced refresh fetches again.
  clock.now += 500ms;
  service->setDisplays({display(7)});
  service->setFetchFailure("no permission");
  EXPECT_THROW(broadcaster.refreshDisplays(false), platform::CaptureError);
  EXPECT_THROW(broadcaster.display(7), platform::CaptureError);
  ASSERT_EQ(broadcaster.displays().size(), 2u);
  EXPECT_EQ(broadcaster.displays()[0].displayID, 1u);
  service->setFetchFailure(std::nullopt);
  broadcaster.refreshDisplays(false);
  EXPECT_EQ(service->fetchCount(), 7);
  ASSERT_EQ(broadcaster.displays().size(), 1u);
  EXPECT_EQ(broadcaster.displays()[0].displayID, 7u);
}

TEST_F(BroadcasterTest, LookupRefetchesOnceOnAMissOnly) {
  broadcaster.refreshDisplays(false);
  ASSERT_EQ(service->fetchCount(), 1);

  auto hit = broadcaster.display(2);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->frame, (codec::Rect{1920, 0, 1920, 1080}));
  EXPECT_EQ(service->fetchCount(), 1);

  EXPECT_FALSE(broadcaster.display(99));
  EXPECT_EQ(service->fetchCount(), 2);

  // A display that appeared is found by the refetch of the miss.
  service->setDisplays({display(1), display(2, 1920), display(3, 3840)});
  auto added = broadcaster.display(3);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->frame.x, 3840);
  EXPECT_EQ(service->fetchCount(), 3);
}

TEST_F(BroadcasterTest, TableKeepsListOrderAndOneEntryPerIdentifier) {
  service->setDisplays({display(5, 10), display(3, 20), display(5, 30), display(4, 40)});
  broadcaster.refreshDisplays(true);
  std::vector<std::pair<std::uint32_t, double>> table;
  for (const DisplayInfo& entry : broadcaster.displays()) table.emplace_back(entry.displayID, entry.frame.x);
  EXPECT_EQ(table, (std::vector<std::pair<std::uint32_t, double>>{{5, 10}, {3, 20}, {4, 40}}));
}

// (Reading with a waiting coroutine: the tests below.)
TEST_F(BroadcasterTest, UnreadFrameIsReplacedByANewerOneAndAFailedStartLeavesNothingRunning) {
  auto stream = broadcaster.makeStream(display(1));
  for (std::uint8_t tag : {10, 11, 12}) EXPECT_EQ(service->push(1, FakeCaptureService::makeFrame(4, 2, tag)), 1);
  EXPECT_EQ(stream.frames->buffered(), 1u);
  auto newest = stream.frames->tryNext();
  ASSERT_TRUE(newest);
  EXPECT_EQ(tagOf(*newest), 12);

  // Status-only samples pass through to the reader untouched.
  service->push(1, SampleBuffer{});
  auto statusOnly = stream.frames->tryNext();
  ASSERT_TRUE(statusOnly);
  EXPECT_EQ(statusOnly->image, nullptr);

  service->setStartFailure("refused");
  EXPECT_THROW(broadcaster.makeStream(display(1)), platform::CaptureError);
  EXPECT_EQ(service->runningStreams(), 1);  // the first stream only
}

// A reader waiting in another thread's io_context is resumed by a frame and ended by stop();
// a frame nobody read when the stream stopped is dropped.
TEST_F(BroadcasterTest, StopEndsTheSequenceOfAWaitingReaderAndDropsTheUnreadFrame) {
  auto stream = broadcaster.makeStream(display(2));
  std::thread producer([&] {
    std::this_thread::sleep_for(50ms);  // the reader is waiting by now, most likely
    service->push(2, FakeCaptureService::makeFrame(2, 2, 42));
    while (stream.frames->buffered() != 0) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    stream.stop();
  });
  asio::io_context context;
  EXPECT_EQ(readAll(stream.frames, context), std::vector<std::uint8_t>{42});
  producer.join();
  EXPECT_EQ(service->runningStreams(), 0);
  EXPECT_EQ(service->push(2, FakeCaptureService::makeFrame(2, 2, 43)), 0);

  auto unread = broadcaster.makeStream(display(1));
  service->push(1, FakeCaptureService::makeFrame(2, 2, 1));
  unread.stop();
  context.restart();
  EXPECT_TRUE(readAll(unread.frames, context).empty());
  EXPECT_EQ(service->stopCount(), 2);
  unread.stop();  // idempotent
  EXPECT_EQ(service->stopCount(), 2);
}

TEST_F(BroadcasterTest, ChildWindowWatchersEndWhenRemoved) {
  auto first = broadcaster.watchChildWindows(4);
  EXPECT_EQ(broadcaster.childObservers(), std::set<std::uint32_t>{4});
  auto second = broadcaster.watchChildWindows(4);
  EXPECT_TRUE(first->isFinished());
  broadcaster.removeChildObserver(9);  // not watched: no effect
  EXPECT_FALSE(second->isFinished());
  broadcaster.removeChildObserver(4);
  EXPECT_TRUE(second->isFinished());
  EXPECT_TRUE(broadcaster.childObservers().empty());
}

// A fast producer and a slower reader: the reader sees frames in capture
// order, never the same one twice, and always ends with the last one.
TEST_F(BroadcasterTest, ConcurrentProducerNewestFrameAlwaysArrives) {
  auto stream = broadcaster.makeStream(display(1));
  constexpr int frameCount = 250;
  asio::io_context context;
  std::vector<std::uint8_t> tags;
  asio::co_spawn(
      context,
      [&]() -> asio::awaitable<void> {
        while (auto sample = co_await stream.frames->next()) {
          tags.push_back(tagOf(*sample));
          if (tags.back() == frameCount - 1) break;
        }
      },
      asio::detached);
  std::thread producer([&] {
    for (int i = 0; i < frameCount; ++i) {
      service->push(1, FakeCaptureService::makeFrame(8, 8, static_cast<std::uint8_t>(i)));
      if (i % 16 == 0) std::this_thread::yield();
    }
  });
  std::thread reader([&] { context.run(); });
  producer.join();
  reader.join();
  ASSERT_FALSE(tags.empty());
  EXPECT_EQ(tags.back(), frameCount - 1);
  for (std::size_t i = 1; i < tags.size(); ++i) EXPECT_LT(tags[i - 1], tags[i]);
  EXPECT_EQ(tags.size() + stream.frames->dropped(), static_cast<std::size_t>(frameCount));
}

}  // namespace
}  // namespace marlinax::capture
