#include "input/EventDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/fake/FakeInputPoster.h"

namespace marlinax::input {
namespace {

using namespace std::chrono_literals;
using platform::PostedInput;
using platform::ScrollPhase;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A clock that moves only when told to.
class ManualClock {
 public:
  std::chrono::steady_clock::time_point now() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ticks_.load()));
  }
  void advance(std::chrono::nanoseconds by) { ticks_ += by.count(); }
  // The clock as the dispatcher reads it; the test keeps `clock` alive.
  static platform::Clock of(const std::shared_ptr<ManualClock>& clock) {
    return [clock] { return clock->now(); };
  }

 private:
  std::atomic<std::int64_t> ticks_{std::chrono::nanoseconds(1h).count()};
};

// Forwards to a recording poster; a click's release can be made to come later on the clock.
class SlowPoster final : public platform::InputPoster {
 public:
  SlowPoster(std::shared_ptr<platform::FakeInputPoster> target, std::shared_ptr<ManualClock> clock,
             std::chrono::nanoseconds releaseAfter)
      : target_(std::move(target)), clock_(std::move(clock)), releaseAfter_(releaseAfter) {}

  void moveMouse(double x, double y) override { target_->moveMouse(x, y); }
  void leftDown(double x, double y, std::optional<std::int64_t> state) override { target_->leftDown(x, y, state); }
  void leftUp(double x, double y, std::optional<std::int64_t> state) override {
    clock_->advance(releaseAfter_);
    target_->leftUp(x, y, state);
  }
  void dragTo(double x, double y) override { target_->dragTo(x, y); }
  void scroll(ScrollPhase phase, std::int32_t x, std::int32_t y) override { target_->scroll(phase, x, y); }
  void postKey(KeyCode key, bool down) override { target_->postKey(key, down); }

 private:
  std::shared_ptr<platform::FakeInputPoster> target_;
  std::shared_ptr<ManualClock> clock_;
  std::chrono::nanoseconds releaseAfter_;
};

class EventDispatcherTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::FakeInputPoster> poster = std::make_shared<platform::FakeInputPoster>(500ms);
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  EventDispatcher dispatcher{poster, poster, ManualClock::of(clock)};
};

TEST(GlobalPoint, ScalesFractionsByTheFrameWithoutClamping) {
  const codec::Rect frame{1920, 0, 1280, 800};
  EXPECT_EQ(globalPoint(frame, 0.5, 0.5), (Point{2560, 400}));
  EXPECT_EQ(globalPoint(frame, 0, 0), (Point{1920, 0}));
  EXPECT_EQ(globalPoint(frame, 1, 1), (Point{3200, 800}));  // just past the far corner
  EXPECT_EQ(globalPoint(frame, -0.25, 1.5), (Point{1600, 1200}));
  // Fractional results are kept, not rounded.
  EXPECT_EQ(globalPoint(codec::Rect{-1280, 100, 1280, 1024}, 0.3, 0.001),
            (Point{-1280 + 1280 * 0.3, 100 + 1024 * 0.001}));
}

// Click counting: each step waits, optionally changes the desktop's interval, then clicks.
TEST_F(EventDispatcherTest, ClickCounts) {
  struct Step {
    std::chrono::nanoseconds wait;
    std::chrono::nanoseconds interval{0};  // 0: unchanged
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::int64_t> counts;
    bool desktopInterval = true;          // false: no interval source, the 400 ms default applies
    std::chrono::nanoseconds posting{0};  // how long each click takes to post, press to release
  };
  const Case cases[] = {
      {"quick clicks count up, a pause starts over", {{2s}, {200ms}, {499ms}, {3s}}, {1, 2, 3, 1}},
      {"the first click is single even right after creation", {{1ms}, {1ms}}, {1, 2}},
      {"a click exactly at the interval is single", {{1s}, {500ms}, {499'999'999ns}}, {1, 1, 2}},
      {"no upper bound", {{1s}, {100ms}, {100ms}, {100ms}, {100ms}, {100ms}}, {1, 2, 3, 4, 5, 6}},
      {"the interval is read at every click", {{1s}, {200ms, 100ms}, {900ms, 1s}}, {1, 1, 2}},
      {"without a desktop setting", {{1s}, {399ms}, {400ms}}, {1, 2, 1}, false},
      // 700 ms after the previous press, 300 ms after its release.
      {"the interval runs from the end of the previous click", {{1s}, {300ms}}, {1, 2}, true, 400ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<platform::FakeInputPoster>(500ms);
    auto time = std::make_shared<ManualClock>();
    EventDispatcher clicks(std::make_shared<SlowPoster>(recorder, time, c.posting),
                           c.desktopInterval ? recorder : nullptr, ManualClock::of(time));
    std::vector<PostedInput> expected;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      time->advance(c.steps[i].wait);
      if (c.steps[i].interval.count() != 0) recorder->setDoubleClickInterval(c.steps[i].interval);
      const Point at{2560 + double(i), 400.5};  // position plays no part
      clicks.click(at);
      expected.push_back(PostedInput::leftDown(at.x, at.y, c.counts[i]));
      expected.push_back(PostedInput::leftUp(at.x, at.y, c.counts[i]));
    }
    EXPECT_EQ(recorder->events(), expected);
    EXPECT_EQ(clicks.clickCount(), c.counts.back());
    EXPECT_EQ(recorder->intervalReads(), c.desktopInterval ? static_cast<int>(c.steps.size()) : 0);
  }
}

TEST_F(EventDispatcherTest, MissingServices) {
  EXPECT_THROW(EventDispatcher(nullptr, poster, ManualClock::of(clock)), std::invalid_argument);
  EventDispatcher realTime(poster, poster, nullptr);
  realTime.click({0, 0});
  EXPECT_EQ(realTime.clickCount(), 1);
}

TEST_F(EventDispatcherTest, DragBetweenQuickClicksKeepsTheCount) {
  clock->advance(1s);
  dispatcher.click({5, 5});
  clock->advance(100ms);
  dispatcher.beginDrag({5, 5});
  dispatcher.drag({6, 7});
  dispatcher.endDrag({8, 9});
  clock->advance(100ms);
  dispatcher.click({5, 5});
  EXPECT_THAT(poster->events(), ElementsAre(PostedInput::leftDown(5, 5, 1), PostedInput::leftUp(5, 5, 1),
                                            PostedInput::leftDown(5, 5, std::nullopt), PostedInput::drag(6, 7),
                                            PostedInput::leftUp(8, 9, std::nullopt), PostedInput::leftDown(5, 5, 2),
                                            PostedInput::leftUp(5, 5, 2)));
  // Drags do not read the double-click interval either.
  EXPECT_EQ(poster->intervalReads(), 2);
}

TEST(ScrollAmounts, ClampsFiniteAmountsAndRejectsNonFiniteOnes) {
  constexpr auto max = std::numeric_limits<std::int32_t>::max();
  constexpr auto min = std::numeric_limits<std::int32_t>::min();
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();

  auto amounts = [](double x, double y) -> std::optional<std::pair<std::int32_t, std::int32_t>> {
    const auto result = scrollAmounts(x, y);
    if (!result) return std::nullopt;
    return std::pair{result->horizontal, result->vertical};
  };
  EXPECT_EQ(amounts(2147483647.9, -2147483648.9), std::pair(max, min));
  EXPECT_EQ(amounts(2147483648.0, -2147483649.0), std::pair(max, min));
  EXPECT_EQ(amounts(1e300, -1e300), std::pair(max, min));
  EXPECT_EQ(amounts(std::numeric_limits<double>::max(), -5e-324), std::pair(max, 0));
  EXPECT_EQ(amounts(-2147483647.5, 2147483646.5), std::pair(min + 1, max - 1));
  EXPECT_EQ(amounts(nan, 1), std::nullopt);
  EXPECT_EQ(amounts(1, -nan), std::nullopt);
  EXPECT_EQ(amounts(inf, 0), std::nullopt);
  EXPECT_EQ(amounts(0, -inf), std::nullopt);
}

// Moves, scrolls and keys reach the poster in order; scroll amounts are truncated toward zero
// and non-finite ones post nothing without ending the gesture (clamping: ScrollAmounts above).
TEST_F(EventDispatcherTest, EventsPassThroughInOrder) {
  dispatcher.moveMouse({-12.25, 7.75});
  dispatcher.moveMouse({1e6, -1e6});
  dispatcher.beginScroll();
  dispatcher.scroll(10.7, -3.9);
  dispatcher.scroll(-0.99, 0.99);
  dispatcher.scroll(std::nan(""), 4);
  dispatcher.endScroll();
  dispatcher.postKey(KeyCode::key_Command, true);
  dispatcher.postKey(KeyCode::key_C, true);
  dispatcher.postKey(KeyCode::key_C, false);
  dispatcher.postKey(KeyCode::key_Command, false);
  EXPECT_THAT(
      poster->events(),
      ElementsAre(PostedInput::move(-12.25, 7.75), PostedInput::move(1e6, -1e6),
                  PostedInput::scroll(ScrollPhase::began, 0, 0), PostedInput::scroll(ScrollPhase::changed, 10, -3),
                  PostedInput::scroll(ScrollPhase::changed, 0, 0), PostedInput::scroll(ScrollPhase::ended, 0, 0),
                  PostedInput::keyEvent(KeyCode::key_Command, true), PostedInput::keyEvent(KeyCode::key_C, true),
                  PostedInput::keyEvent(KeyCode::key_C, false), PostedInput::keyEvent(KeyCode::key_Command, false)));
  EXPECT_EQ(dispatcher.clickCount(), 0);
}

TEST_F(EventDispatcherTest, ConcurrentRequestsNeverSplitAClick) {
  poster->setDoubleClickInterval(1h);  // every click follows the previous one quickly
  constexpr int threads = 4;
  constexpr int clicksPerThread = 50;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([this, t] {
      for (int i = 0; i < clicksPerThread; ++i) {
        dispatcher.click({double(t), double(i)});
        dispatcher.moveMouse({double(t), -1});
        dispatcher.postKey(KeyCode::key_A, i % 2 == 0);
      }
    });
  }
  for (auto& worker : workers) worker.join();

  const auto events = poster->events();
  ASSERT_EQ(events.size(), std::size_t(threads * clicksPerThread * 4));
  std::int64_t expectedState = 1;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind != PostedInput::Kind::leftDown) {
      ASSERT_NE(events[i].kind, PostedInput::Kind::leftUp) << "release without its press at " << i;
      continue;
    }
    ASSERT_LT(i + 1, events.size());
    const PostedInput& up = events[i + 1];
    EXPECT_EQ(up, PostedInput::leftUp(events[i].x, events[i].y, expectedState)) << "at " << i;
    EXPECT_EQ(events[i].clickState, expectedState);
    ++expectedState;
    ++i;
  }
  EXPECT_EQ(dispatcher.clickCount(), threads * clicksPerThread);
}

}  // namespace
}  // namespace marlinax::input
