#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <asio/any_io_executor.hpp>

#include "messaging/Protocols.h"
#include "messaging/Remote.h"
#include "messaging/SessionLoop.h"
#include "platform/Clock.h"
#include "platform/Frame.h"
#include "server/DisplayCast.h"

namespace marlinax::platform {
class CaptureService;
class InputPoster;
class DoubleClickIntervalSource;
}  // namespace marlinax::platform

namespace marlinax::input {
class EventDispatcher;
struct Point;
}  // namespace marlinax::input

namespace marlinax::capture {
class Broadcaster;
}  // namespace marlinax::capture

namespace marlinax::media {
class Masks;
}  // namespace marlinax::media

namespace marlinax::async {
class Semaphore;
}  // namespace marlinax::async

namespace marlinax::server {

// A request the server cannot carry out because the service it needs is not
// present (for example no capture service without a reachable display server).
// Like every failure of a request, it means the request gets no reply.
class NotAvailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The platform services one connection's handler works with. Each may be left
// empty; the requests that need a missing service fail with NotAvailable.
struct Services {
  std::shared_ptr<platform::CaptureService> capture;
  std::shared_ptr<platform::InputPoster> input;
  std::shared_ptr<platform::DoubleClickIntervalSource> doubleClickInterval;
  // The monotonic clock of the display table's one-second cache and of click
  // counting (tests); the steady clock when empty.
  platform::Clock clock;
  // The name in the handshake reply; platform::computerName() when empty.
  std::function<std::string()> computerName;
  // The version in the handshake reply; the product's build number when absent.
  std::optional<std::int64_t> version;

  // Where frame work (JPEG, alpha, LZ4, SHA-256, screenshots) runs: the CPU
  // pool, so that an encoding frame never holds up the network threads. When
  // empty, the work runs on the executor of the task that starts it.
  asio::any_io_executor frameExecutor;
  // At most this many frames of one display are being built or wait for the
  // headset's reply at a time. The frame loop asks the capture for the next
  // frame only when a slot is free; meanwhile the capture grabs nothing and
  // coalesces the changes, so a slow or silent headset costs neither CPU,
  // memory nor latency.
  std::size_t maxFramesInFlight = 3;
  // True: each cast display keeps the compressed segments of its last frame
  // and compresses again only those whose pixels changed (same bytes as a
  // whole compression with restart markers). False: every frame is
  // compressed whole, without restart markers.
  bool segmentCache = true;
  // Screenshots for previews taking place at once, shared by every connection
  // of a server; when empty the handler makes its own with room for two.
  std::shared_ptr<async::Semaphore> previewSlots;
  // Told once when the connection this handler serves has ended, after every
  // capture stream, frame loop and watcher of the headset was stopped; the
  // argument is how many capture streams were still running.
  std::function<void(std::size_t stoppedStreams)> connectionEnded;
};

// The name sent when the computer's name cannot be read (or is empty).
inline constexpr const char* kFallbackComputerName = "Linux computer";

// The computer's answer to everything the headset asks; one per accepted
// connection. Messages 1, 6 and 10 are the headset's replies to our own
// requests and are never answered here.
//
// Choices where the protocol leaves the behaviour open:
// - startCasting, windowMask and the five pointer requests for a display that
//   does not exist (even after refetching the table) do nothing and get the
//   empty reply: a headset waiting for an answer that never comes is worse
//   than one that sees no frames or no pointer movement.
// - startCasting for a display already being cast restarts its stream and
//   forgets the display's mask, so the headset (which may have rebuilt its
//   view) gets a first frame with the mask at once, even of a still screen.
//   One display never has two streams: the casts table (DisplayCasts) stops
//   the older cast, and with it its frame loop, before the new one starts. A
//   capture that ends on its own (the X server went away, the monitor was
//   removed) ends its cast.
// - When the connection ends every capture stream, frame loop and child-window
//   watcher of the headset stops, and later casting requests are not obeyed.
// - On X11 whole displays are cast and nothing reports child windows, so a
//   watcher is started and stopped but never has a list to send.
// - Nothing is created for a display the server does not list: a child-window
//   watcher for an unknown display is refused (the request is still answered),
//   and a display has at most one watcher (asking again keeps it).
// - At most two previews are taken at a time (Services::previewSlots); later
//   ones wait their turn.
class ProtocolImplementation final : public messaging::SessionHandler,
                                     public messaging::ServerProtocol,
                                     public std::enable_shared_from_this<ProtocolImplementation> {
 public:
  explicit ProtocolImplementation(Services services = {});
  ~ProtocolImplementation() override;

  // MessageProtocol: decodes the request as its message's type (a decode
  // failure throws, so no reply), runs the operation and encodes the reply.
  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes data) override;

  // Written once by the session loop right after the multiplexer started.
  // From then on the handler watches the connection and stops the headset's
  // casting when it ends.
  void setRemote(messaging::Remote remote) override;
  std::optional<messaging::Remote> remote() const;

  // The headset is gone: stops every capture stream (ending their frame
  // loops), every child-window watcher, and refuses later casting. Returns how
  // many streams were running. Also for shutdown. Only the first call reports
  // through Services::connectionEnded.
  std::size_t endConnection();
  bool connectionHasEnded() const { return ended_; }

  // The displays being cast, each with its stream and frame loop.
  const DisplayCasts& casts() const { return *casts_; }
  std::size_t castingCount() const { return casts_->count(); }
  // Child-window watchers now running, and requests for one that were refused.
  std::size_t childWatcherCount() const;
  std::uint64_t childWatchersRefused() const { return watchersRefused_; }

  const Services& services() const { return services_; }

  // ServerProtocol
  asio::awaitable<messaging::serverMessages::VisionOSHandshake::Reply>
  visionOSHandshake(messaging::serverMessages::VisionOSHandshake::Request request) override;
  asio::awaitable<messaging::serverMessages::Windows::Reply>
  displays(messaging::serverMessages::Windows::Request request) override;
  asio::awaitable<messaging::serverMessages::WindowPreview::Reply>
  windowPreview(messaging::serverMessages::WindowPreview::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  startCasting(messaging::serverMessages::StartCasting::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  stopCasting(messaging::serverMessages::StopCasting::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  windowMask(messaging::serverMessages::WindowMask::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  startWatchingForChildWindows(messaging::serverMessages::StartWatchingForChildWindows::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  stopWatchingForChildWindows(messaging::serverMessages::StopWatchingForChildWindows::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  mouseMoved(messaging::serverMessages::MouseMoved::Request request) override;
  asio::awaitable<messaging::SerializableVoid> clicked(messaging::serverMessages::Clicked::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  scrollBegan(messaging::serverMessages::ScrollBegan::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  scrollChanged(messaging::serverMessages::ScrollChanged::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  scrollEnded(messaging::serverMessages::ScrollEnded::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  dragBegan(messaging::serverMessages::DragBegan::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  dragChanged(messaging::serverMessages::DragChanged::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  dragEnded(messaging::serverMessages::DragEnded::Request request) override;
  asio::awaitable<messaging::SerializableVoid> typed(messaging::serverMessages::Typed::Request request) override;

 private:
  std::string computerName() const;
  capture::Broadcaster& broadcaster() const;
  input::EventDispatcher& dispatcher() const;
  std::optional<input::Point> pointerPoint(std::uint32_t identifier, double x, double y);

  Services services_;
  std::int64_t version_;
  // The per-headset services; the broadcaster and the dispatcher exist only
  // when their platform service does.
  std::unique_ptr<capture::Broadcaster> broadcaster_;
  std::unique_ptr<input::EventDispatcher> eventDispatcher_;
  std::shared_ptr<CastShared> castShared_;  // the remote and the mask memory
  std::unique_ptr<DisplayCasts> casts_;
  std::shared_ptr<async::Semaphore> previewSlots_;
  std::atomic<std::uint64_t> watchersRefused_ = 0;
  std::atomic<bool> ended_ = false;
  std::atomic<bool> reported_ = false;
};

}  // namespace marlinax::server
