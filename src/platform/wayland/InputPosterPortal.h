#pragma once

// Posts the headset's input through the desktop's remote-desktop portal, for
// desktops without mutter's interfaces. The portal asks the user in a dialog
// for every session (its first version keeps no choice), so the session is
// requested when the poster is made, on a thread of its own; input that arrives
// before the user has answered is dropped. Pointer positions are given on a
// cast of the monitor under the point, so the session casts every monitor.
//
// Mapping: as for GNOME (evdev keys and buttons, pixel-precise finger scrolling
// with a finish at the gesture's end); positions are the portal's stream
// coordinates, which are layout pixels relative to the monitor.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/InputPoster.h"

namespace marlinax::platform::wayland {

class Bus;
class ScreenCastPortalSession;

class InputPosterPortal final : public InputPoster, public DoubleClickIntervalSource {
 public:
  // Starts the request; never throws (a missing portal only means no input).
  explicit InputPosterPortal(std::shared_ptr<Bus> bus,
                             std::chrono::milliseconds answerTimeout = std::chrono::minutes(5));
  ~InputPosterPortal() override;

  // Waits until the user answered (or the request failed); true when input can be posted.
  bool waitUntilReady(std::chrono::milliseconds timeout);

  void moveMouse(double x, double y) override;
  void leftDown(double x, double y, std::optional<std::int64_t> clickState) override;
  void leftUp(double x, double y, std::optional<std::int64_t> clickState) override;
  void dragTo(double x, double y) override;
  void scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) override;
  void postKey(input::KeyCode key, bool down) override;
  std::chrono::nanoseconds doubleClickInterval() override;

  // Input calls that could not be posted (no session yet, refused).
  std::uint64_t failures() const;

 private:
  bool movePointer(double x, double y);
  template <class Call>
  bool send(Call&& call);

  // Shared with the thread that waits for the user's answer, which may outlive
  // the poster (a dialog nobody answers does not hold up the poster's end).
  struct Request {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::shared_ptr<ScreenCastPortalSession> session;
  };
  // The session once the user allowed it; taken from the request under mutex_.
  ScreenCastPortalSession* session();

  std::shared_ptr<Request> request_;
  mutable std::mutex mutex_;
  bool buttonHeld_ = false;
  std::vector<std::uint32_t> keysHeld_;
  std::uint64_t failures_ = 0;
};

}  // namespace marlinax::platform::wayland
