#include "input/EventDispatcher.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace marlinax::input {

Point globalPoint(const codec::Rect& frame, double x, double y) {
  return Point{frame.x + frame.width * x, frame.y + frame.height * y};
}

namespace {

// Truncates toward zero and clamps to the signed 32-bit range. Never called with NaN or
// infinity: those cannot be clamped meaningfully.
std::int32_t truncatedPixels(double amount) {
  constexpr double lowest = std::numeric_limits<std::int32_t>::min();
  constexpr double highest = std::numeric_limits<std::int32_t>::max();
  const double truncated = std::trunc(amount);
  if (truncated <= lowest) return std::numeric_limits<std::int32_t>::min();
  if (truncated >= highest) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(truncated);
}

}  // namespace

std::optional<ScrollAmounts> scrollAmounts(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  return ScrollAmounts{truncatedPixels(x), truncatedPixels(y)};
}

EventDispatcher::EventDispatcher(std::shared_ptr<platform::InputPoster> poster,
                                 std::shared_ptr<platform::DoubleClickIntervalSource> doubleClickInterval,
                                 platform::Clock clock)
    : poster_(std::move(poster)), doubleClickInterval_(std::move(doubleClickInterval)),
      clock_(clock ? std::move(clock) : platform::steadyClock()), lastClick_(clock_()) {
  if (!poster_) throw std::invalid_argument("EventDispatcher needs an input poster");
}

void EventDispatcher::moveMouse(Point point) {
  std::lock_guard lock(mutex_);
  poster_->moveMouse(point.x, point.y);
}

void EventDispatcher::click(Point point) {
  std::lock_guard lock(mutex_);
  // The interval runs from the end of the previous click to the start of this one.
  const auto elapsed = clock_() - lastClick_;
  const std::chrono::nanoseconds interval =
      doubleClickInterval_ ? doubleClickInterval_->doubleClickInterval() : platform::kDefaultDoubleClickInterval;
  if (elapsed < interval) {
    ++clickCount_;
  } else {
    clickCount_ = 1;
  }
  poster_->leftDown(point.x, point.y, clickCount_);
  poster_->leftUp(point.x, point.y, clickCount_);
  lastClick_ = clock_();
}

void EventDispatcher::beginDrag(Point point) {
  std::lock_guard lock(mutex_);
  poster_->leftDown(point.x, point.y, std::nullopt);
}

void EventDispatcher::drag(Point point) {
  std::lock_guard lock(mutex_);
  poster_->dragTo(point.x, point.y);
}

void EventDispatcher::endDrag(Point point) {
  std::lock_guard lock(mutex_);
  poster_->leftUp(point.x, point.y, std::nullopt);
}

void EventDispatcher::beginScroll() {
  std::lock_guard lock(mutex_);
  poster_->scroll(platform::ScrollPhase::began, 0, 0);
}

void EventDispatcher::scroll(double x, double y) {
  const auto amounts = scrollAmounts(x, y);
  if (!amounts) return;
  std::lock_guard lock(mutex_);
  poster_->scroll(platform::ScrollPhase::changed, amounts->horizontal, amounts->vertical);
}

void EventDispatcher::endScroll() {
  std::lock_guard lock(mutex_);
  poster_->scroll(platform::ScrollPhase::ended, 0, 0);
}

void EventDispatcher::postKey(KeyCode key, bool down) {
  std::lock_guard lock(mutex_);
  poster_->postKey(key, down);
}

std::int64_t EventDispatcher::clickCount() const {
  std::lock_guard lock(mutex_);
  return clickCount_;
}

}  // namespace marlinax::input
