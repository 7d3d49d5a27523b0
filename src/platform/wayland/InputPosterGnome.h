#pragma once

// Posts the headset's input into a GNOME Wayland session through a remote-desktop
// session of mutter. Pointer positions are given to mutter relative to a screen
// cast stream of the monitor under the point, so the session records every
// monitor (nobody consumes those streams; they only name the monitors). The
// session is made on first use and again when the monitors change.
//
// Mapping of the headset's events:
// - pointer positions are layout pixels, given to mutter with their fractional part;
// - the click state travels no further: Wayland clients count clicks themselves;
// - scroll amounts are pixel-precise axis events of a finger source, signs turned
//   into mutter's (positive is down and right); the gesture's end is an axis event
//   with the finish flag (which mutter 43 does not pass on to clients);
// - keys are Linux evdev codes of the key at the same place on a PC keyboard.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputPoster.h"
#include "platform/wayland/DisplayConfig.h"

namespace marlinax::platform::wayland {

class Bus;
class MutterSession;

// Where a layout point lies in a stream of its monitor, in the stream's pixels.
struct StreamPoint {
  std::size_t display = 0;  // index into the display list
  double x = 0;
  double y = 0;
};
// Nothing when no display contains the point (or it is not finite).
std::optional<StreamPoint> streamPoint(const std::vector<GnomeDisplay>& displays, double x, double y);

class InputPosterGnome final : public InputPoster, public DoubleClickIntervalSource {
 public:
  // Throws BusError when mutter's remote desktop is not on the bus.
  explicit InputPosterGnome(std::shared_ptr<Bus> bus);
  // Releases the left button and any key still held through this poster.
  ~InputPosterGnome() override;

  void moveMouse(double x, double y) override;
  void leftDown(double x, double y, std::optional<std::int64_t> clickState) override;
  void leftUp(double x, double y, std::optional<std::int64_t> clickState) override;
  void dragTo(double x, double y) override;
  void scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) override;
  void postKey(input::KeyCode key, bool down) override;

  // GNOME keeps its setting in GSettings, which this poster does not read: the toolkit default.
  std::chrono::nanoseconds doubleClickInterval() override;

  // Input calls that mutter refused so far (they are never fatal).
  std::uint64_t failures() const;

 private:
  bool movePointer(double x, double y);
  bool ensureSession();
  void dropSession();
  template <class Call>
  bool send(Call&& call);

  std::shared_ptr<Bus> bus_;
  mutable std::mutex mutex_;
  std::unique_ptr<MutterSession> session_;
  std::vector<GnomeDisplay> displays_;
  std::vector<std::string> streams_;  // one per display, same order
  std::shared_ptr<std::atomic<bool>> monitorsChanged_;
  std::shared_ptr<void> monitorsWatch_;
  // The first event after a new session waits until then.
  std::optional<std::chrono::steady_clock::time_point> devicesReady_;
  bool buttonHeld_ = false;
  std::vector<std::uint32_t> keysHeld_;
  std::uint64_t failures_ = 0;
};

}  // namespace marlinax::platform::wayland
