#pragma once

// Posts the headset's input on an X server through the XTEST extension, over a connection
// of its own.
//
// Mapping of the headset's events:
// - pointer positions are root-window pixels, rounded to the nearest pixel; the press and
//   release of a click or drag first move the pointer to their position;
// - the click state travels no further: X clients count multiple clicks themselves from
//   the timing of the presses;
// - scroll amounts in pixels become wheel clicks (buttons 4/5 up/down, 6/7 left/right),
//   one per `kPixelsPerWheelStep` pixels, the remainder carried over within one gesture;
// - keys are the physical keys of the Mac keyboard, posted as the Linux key at the same
//   place (X keycode = Linux evdev code + 8 on the usual evdev keymaps).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "input/KeyCode.h"
#include "platform/InputPoster.h"

namespace marlinax::platform::x11 {

// Pixels of scrolling per wheel click. Toolkits scroll about three lines (roughly 50 px) per
// click; 30 px lets slow trackpad-style gestures move the view without making fast ones
// jump far.
inline constexpr std::int32_t kPixelsPerWheelStep = 30;
// At most this many wheel clicks for one scroll event; an amount beyond that (a clamped
// huge value) is cut, so one event can never flood the server.
inline constexpr std::int32_t kMaxWheelStepsPerEvent = 50;

// Turns the pixel amounts of one scroll gesture into whole wheel clicks.
class WheelAccumulator {
 public:
  struct Steps {
    std::int32_t horizontal = 0;  // > 0: left (button 6), < 0: right (button 7)
    std::int32_t vertical = 0;    // > 0: up (button 4), < 0: down (button 5)
    friend bool operator==(const Steps&, const Steps&) = default;
  };

  // Adds the amounts of one changed event and takes out the whole clicks they complete.
  Steps add(std::int32_t pixelsX, std::int32_t pixelsY);
  // Forgets the carried remainder (at the beginning and end of a gesture).
  void reset();

 private:
  std::int64_t remainderX_ = 0;
  std::int64_t remainderY_ = 0;
};

class InputPosterX11 final : public InputPoster, public DoubleClickIntervalSource {
 public:
  // Connects to `displayName` (empty: $DISPLAY). Throws XError when the display
  // cannot be opened or lacks XTEST. When the X server goes away, each later operation
  // first connects again; while that fails its events are dropped and the outage is
  // logged once.
  explicit InputPosterX11(const std::string& displayName = {});
  // Releases the left button and any key still held through this poster.
  ~InputPosterX11() override;

  InputPosterX11(const InputPosterX11&) = delete;
  InputPosterX11& operator=(const InputPosterX11&) = delete;

  void moveMouse(double x, double y) override;
  void leftDown(double x, double y, std::optional<std::int64_t> clickState) override;
  void leftUp(double x, double y, std::optional<std::int64_t> clickState) override;
  void dragTo(double x, double y) override;
  void scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) override;
  void postKey(input::KeyCode key, bool down) override;

  // The desktop's setting (XSETTINGS Net/DoubleClickTime), 400 ms without one.
  std::chrono::nanoseconds doubleClickInterval() override;

  // The X keycode posted for `key` under the server's current keymap; nothing when the
  // server has no keycode for it (key_Function on the usual keymaps).
  std::optional<std::uint8_t> xKeycode(input::KeyCode key);

  // X protocol errors seen on this poster's connection so far (they are never fatal).
  std::uint64_t protocolErrors() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Input on an X server, for the server's services: one poster is both the input
// and the double-click interval. Throws XError when the display cannot be
// opened or lacks XTEST.
struct InputServices {
  std::shared_ptr<InputPoster> input;
  std::shared_ptr<DoubleClickIntervalSource> doubleClickInterval;
};
InputServices makeInputServices(const std::string& displayName = {});

}  // namespace marlinax::platform::x11
