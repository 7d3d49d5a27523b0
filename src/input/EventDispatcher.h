#pragma once

// Turns the headset's input requests into posted input events. One dispatcher serves one
// headset connection; its operations run one at a time, so the two events of a click are
// never interleaved with another request's events.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "codec/Rect.h"
#include "input/KeyCode.h"
#include "platform/Clock.h"
#include "platform/InputPoster.h"

namespace marlinax::input {

// A point of the global display space (root-window pixels on X11).
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// The point at fractions (x, y) of a display's frame, measured from its top-left corner.
// Not clamped: fractions outside 0 to 1 give points outside the display, and 1 gives the
// point just past the far edge.
Point globalPoint(const codec::Rect& frame, double x, double y);

// Scroll amounts as posted: each amount truncated toward zero to a signed 32-bit integer.
// Amounts beyond that range are clamped to it; nothing is returned when an amount is NaN or
// infinite, and such a scroll event is dropped.
struct ScrollAmounts {
  std::int32_t horizontal = 0;
  std::int32_t vertical = 0;
};
std::optional<ScrollAmounts> scrollAmounts(double x, double y);

class EventDispatcher {
 public:
  // The creation instant counts as the previous click; the click count starts at 0, so the
  // first click is always a single click. Without an interval source the interval is
  // platform::kDefaultDoubleClickInterval; without a clock, the steady clock is used.
  // Throws std::invalid_argument without a poster.
  EventDispatcher(std::shared_ptr<platform::InputPoster> poster,
                  std::shared_ptr<platform::DoubleClickIntervalSource> doubleClickInterval,
                  platform::Clock clock = platform::steadyClock());

  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

  void moveMouse(Point point);
  // Posts a left down and a left up at the point, both carrying the click count: one more
  // than the previous click's when the time since the previous click finished is strictly
  // less than the double-click interval, 1 otherwise. Position plays no part.
  void click(Point point);
  void beginDrag(Point point);
  void drag(Point point);
  void endDrag(Point point);
  void beginScroll();
  // Horizontal and vertical scroll amounts in pixels, signs as the headset sends them.
  void scroll(double x, double y);
  void endScroll();
  void postKey(KeyCode key, bool down);

  // The click multiplicity given to the last click (0 before the first).
  std::int64_t clickCount() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::InputPoster> poster_;
  std::shared_ptr<platform::DoubleClickIntervalSource> doubleClickInterval_;
  platform::Clock clock_;
  std::chrono::steady_clock::time_point lastClick_;
  std::int64_t clickCount_ = 0;
};

}  // namespace marlinax::input
