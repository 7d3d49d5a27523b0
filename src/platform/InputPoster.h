#pragma once

// Posting synthetic input into the desktop's event stream. The interface speaks in the
// headset's terms (points in the global display space, pixel scroll amounts, keys of the
// Mac keyboard); each implementation owns the translation into its window system's events.

#include <chrono>
#include <cstdint>
#include <optional>

#include "input/KeyCode.h"

namespace marlinax::platform {

enum class ScrollPhase { began, changed, ended };

// Implementations post every event before returning, never throw, and silently drop an
// event that the window system cannot represent (such as a non-finite position). Calls
// are made one at a time by the owner; implementations need not be reentrant.
class InputPoster {
 public:
  virtual ~InputPoster() = default;

  // Moves the pointer to (x, y), global display coordinates with a fractional part.
  virtual void moveMouse(double x, double y) = 0;
  // Presses / releases the left button at (x, y). clickState is the click multiplicity
  // (1 single, 2 double, ...) when the press belongs to a click, and absent for a drag.
  virtual void leftDown(double x, double y, std::optional<std::int64_t> clickState) = 0;
  virtual void leftUp(double x, double y, std::optional<std::int64_t> clickState) = 0;
  // Moves the pointer to (x, y) as a drag with the left button held.
  virtual void dragTo(double x, double y) = 0;
  // One event of a scroll gesture: began and ended carry zero amounts. Positive vertical
  // amounts scroll up, positive horizontal amounts scroll left.
  virtual void scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) = 0;
  // Presses (down) or releases one key; no modifier state is added.
  virtual void postKey(input::KeyCode key, bool down) = 0;
};

// The interval used when the desktop publishes none (the common toolkit default).
inline constexpr std::chrono::milliseconds kDefaultDoubleClickInterval{400};

// The user's double-click interval: two clicks closer together than this form a double
// click. Read at every click, so a change of the desktop setting applies at once.
class DoubleClickIntervalSource {
 public:
  virtual ~DoubleClickIntervalSource() = default;
  virtual std::chrono::nanoseconds doubleClickInterval() = 0;
};

}  // namespace marlinax::platform
