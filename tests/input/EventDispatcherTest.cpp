#include "input/EventDispatcher.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/fake/FakeInputPoster.h"

namespace marlinax::input {
namespace {

using namespace std::chrono_literals;
using P = platform::PostedInput;
using platform::ScrollPhase;

TEST(ScrollAmounts, ClampsFiniteAmountsAndRejectsNonFiniteOnes) {
  constexpr auto max = std::numeric_limits<std::int32_t>::max(), min = std::numeric_limits<std::int32_t>::min();
  constexpr double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  using Amounts = std::optional<std::pair<std::int32_t, std::int32_t>>;
  const std::tuple<double, double, Amounts> rows[] = {{2147483647.9, -2147483648.9, std::pair(max, min)},
                                                      {2147483648.0, -2147483649.0, std::pair(max, min)},
                                                      {1e300, -1e300, std::pair(max, min)},
                                                      {std::numeric_limits<double>::max(), -5e-324, std::pair(max, 0)},
                                                      {-2147483647.5, 2147483646.5, std::pair(min + 1, max - 1)},
                                                      {nan, 1, std::nullopt},
                                                      {1, -nan, std::nullopt},
                                                      {inf, 0, std::nullopt},
                                                      {0, -inf, std::nullopt}};
  for (const auto& [x, y, expected] : rows) {
    const auto amounts = scrollAmounts(x, y);
    EXPECT_EQ(amounts ? Amounts({amounts->horizontal, amounts->vertical}) : std::nullopt, expected) << x << ", " << y;
  }
}

// Click counting: before each click the clock moves on by its wait and, when the case lists
// intervals, the desktop's interval changes. (The posted events carry the count: the tests below.)
TEST(EventDispatcher, ClickCounts) {
  struct Case {
    const char* name;
    std::vector<std::chrono::nanoseconds> waits;
    std::vector<std::int64_t> counts;
    std::vector<std::chrono::nanoseconds> intervals = {};  // none: 500 ms throughout
    bool desktopInterval = true;                           // false: no interval source, the 400 ms default applies
    std::chrono::nanoseconds posting{0};                   // how long each click takes to post, press to release
  };
  const Case cases[] = {{"quick clicks count up, a pause starts over", {2s, 200ms, 499ms, 3s}, {1, 2, 3, 1}},
                        {"the first click is single even right after creation", {1ms, 1ms}, {1, 2}},
                        {"a click exactly at the interval is single", {1s, 500ms, 499'999'999ns}, {1, 1, 2}},
                        {"no upper bound", {1s, 100ms, 100ms, 100ms, 100ms, 100ms}, {1, 2, 3, 4, 5, 6}},
                        {"the interval is read at every click", {1s, 200ms, 900ms}, {1, 1, 2}, {500ms, 100ms, 1s}},
                        {"without a desktop setting", {1s, 399ms, 400ms}, {1, 2, 1}, {}, false},
                        // 700 ms after the previous press, 300 ms after its release.
                        {"the interval runs from the end of the previous click", {1s, 300ms}, {1, 2}, {}, true, 400ms}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<platform::FakeInputPoster>(500ms);
    std::chrono::steady_clock::time_point now(1h);
    // Every posted click moves the clock on by `posting`: a release comes that long after its press.
    EventDispatcher clicks(recorder, c.desktopInterval ? recorder : nullptr,
                           [&] { return now + c.posting * static_cast<int>(recorder->events().size() / 2); });
    for (std::size_t i = 0; i < c.waits.size(); ++i) {
      now += c.waits[i];
      if (!c.intervals.empty()) recorder->setDoubleClickInterval(c.intervals[i]);
      clicks.click({2560 + double(i), 400.5});  // position plays no part
      EXPECT_EQ(clicks.clickCount(), c.counts[i]) << "click " << i;
    }
    EXPECT_EQ(recorder->intervalReads(), c.desktopInterval ? static_cast<int>(c.waits.size()) : 0);
  }
}

// Every request reaches the poster in order. A drag between quick clicks keeps the count and
// reads no interval; scroll amounts are truncated toward zero, and non-finite ones post nothing
// without ending the gesture (clamping: ScrollAmounts above).
TEST(EventDispatcher, EventsPassThroughInOrder) {
  auto poster = std::make_shared<platform::FakeInputPoster>(500ms);
  std::chrono::steady_clock::time_point now(1h);
  EventDispatcher dispatcher(poster, poster, [&] { return now; });
  // Points at fractions of a display's frame are not clamped, and not rounded.
  dispatcher.moveMouse(globalPoint({1920, 0, 1280, 800}, 1, 1));  // just past the far corner
  dispatcher.moveMouse(globalPoint({-1280, 100, 1280, 1024}, -0.25, 1.001));
  now += 1s;
  dispatcher.click({5, 5});
  now += 100ms;
  dispatcher.beginDrag({5, 5});
  dispatcher.drag({6, 7});
  dispatcher.endDrag({8, 9});
  now += 100ms;
  dispatcher.click({5, 5});
  dispatcher.beginScroll();
  dispatcher.scroll(10.7, -3.9);
  dispatcher.scroll(-0.99, 0.99);
  dispatcher.scroll(std::numeric_limits<double>::quiet_NaN(), 4);
  dispatcher.endScroll();
  dispatcher.postKey(KeyCode::key_Command, true);
  dispatcher.postKey(KeyCode::key_C, false);
  EXPECT_EQ(std::pair(poster->events(), poster->intervalReads()),
            std::pair(std::vector<P>{P::move(3200, 800), P::move(-1600, 100 + 1024 * 1.001), P::leftDown(5, 5, 1),
                                     P::leftUp(5, 5, 1), P::leftDown(5, 5, std::nullopt), P::drag(6, 7),
                                     P::leftUp(8, 9, std::nullopt), P::leftDown(5, 5, 2), P::leftUp(5, 5, 2),
                                     P::scroll(ScrollPhase::began, 0, 0), P::scroll(ScrollPhase::changed, 10, -3),
                                     P::scroll(ScrollPhase::changed, 0, 0), P::scroll(ScrollPhase::ended, 0, 0),
                                     P::keyEvent(KeyCode::key_Command, true), P::keyEvent(KeyCode::key_C, false)},
                      2));

  EXPECT_THROW(EventDispatcher(nullptr, poster, [&] { return now; }), std::invalid_argument);
}

TEST(EventDispatcher, ConcurrentRequestsNeverSplitAClick) {
  auto poster = std::make_shared<platform::FakeInputPoster>(1h);  // every click follows the previous one quickly
  EventDispatcher dispatcher(poster, poster, nullptr);            // without a clock: the steady clock
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&dispatcher, t] {
      for (int i = 0; i < 50; ++i) {
        dispatcher.click({double(t), double(i)});
        dispatcher.moveMouse({double(t), -1});
        dispatcher.postKey(KeyCode::key_A, i % 2 == 0);
      }
    });
  for (auto& worker : workers) worker.join();

  // Each press is followed by its own release, both with the next click count.
  const auto events = poster->events();
  std::int64_t state = 0, split = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i)
    if (events[i].kind == P::Kind::leftDown)
      split += events[i].clickState != ++state || events[i + 1] != P::leftUp(events[i].x, events[i].y, state);
  EXPECT_EQ(std::tuple(events.size(), state, split), std::tuple(std::size_t{4 * 50 * 4}, std::int64_t{4 * 50}, 0));
}

}  // namespace
}  // namespace marlinax::input
