#pragma once

// One screen-cast session of mutter, optionally tied to a remote-desktop
// session (which lets it inject input). Streams are recorded before the start;
// starting waits until mutter has published every stream's PipeWire node.
// Mutter ends a session when the D-Bus connection that made it goes away, so
// nothing outlives a crashed process.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sd_bus_message;

namespace marlinax::platform::wayland {

class Bus;

// How the pointer appears in a stream.
enum class CursorMode : std::uint32_t { hidden = 0, embedded = 1, metadata = 2 };

class MutterSession {
 public:
  // Throws BusError when mutter refuses or is not there.
  MutterSession(std::shared_ptr<Bus> bus, bool remoteDesktop);
  // Stops the session when it runs.
  ~MutterSession();
  MutterSession(const MutterSession&) = delete;
  MutterSession& operator=(const MutterSession&) = delete;

  // Adds a stream of the monitor on that connector / of a new virtual monitor,
  // returning the stream's object path. Throws BusError.
  std::string recordMonitor(const std::string& connector, CursorMode cursor);
  std::string recordVirtual(CursorMode cursor);

  // Starts the session and waits until every stream has its PipeWire node.
  // Throws BusError on refusal or when the nodes do not appear in time.
  void start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Stops the session (idempotent; errors are ignored: the session may be gone).
  void stop();

  // The PipeWire node of a started stream.
  std::uint32_t node(const std::string& stream) const;
  // Whether mutter closed the session (it stopped it or a stream's source vanished).
  bool closed() const;

  // Input through the remote-desktop session (throws BusError; needs remoteDesktop).
  // Positions are in the stream's pixels; buttons and keys are Linux evdev codes.
  void pointerMotionAbsolute(const std::string& stream, double x, double y);
  void pointerMotionRelative(double dx, double dy);
  void pointerButton(std::int32_t button, bool pressed);
  // Pixel-precise scroll (dx, dy as mutter takes them); `finish` ends a gesture.
  void pointerAxis(double dx, double dy, bool finish);
  void keyboardKeycode(std::uint32_t keycode, bool pressed);
  // Any other call on the remote-desktop session, with the arguments `append` adds.
  void notify(const char* member, const std::function<void(sd_bus_message*)>& append);

 private:
  std::shared_ptr<Bus> bus_;
  bool remoteDesktop_;
  std::string remoteDesktopPath_;
  std::string screenCastPath_;
  std::vector<std::string> streams_;
  std::vector<std::shared_ptr<void>> subscriptions_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::uint32_t> nodes_;
  bool started_ = false;
  bool closed_ = false;
};

}  // namespace marlinax::platform::wayland
