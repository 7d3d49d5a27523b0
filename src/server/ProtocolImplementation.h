#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "messaging/Protocols.h"
#include "messaging/Remote.h"
#include "messaging/SessionLoop.h"

namespace marlinax::platform {
class CaptureService;
class InputPoster;
class DoubleClickIntervalSource;
}  // namespace marlinax::platform

namespace marlinax::input {
class Clock;
}  // namespace marlinax::input

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
  std::shared_ptr<input::Clock> clock;
  // The name in the handshake reply; platform::computerName() when empty.
  std::function<std::string()> computerName;
  // The version in the handshake reply; the product's build number when absent.
  std::optional<std::int64_t> version;
};

// The name sent when the computer's name cannot be read (or is empty).
inline constexpr const char* fallbackComputerName = "Linux computer";

// The computer's answer to everything the headset asks; one per accepted
// connection. Messages 1, 6 and 10 are the headset's replies to our own
// requests and are never answered here.
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
  void setRemote(messaging::Remote remote) override;
  std::optional<messaging::Remote> remote() const;

  const Services& services() const { return services_; }

  // ServerProtocol
  asio::awaitable<messaging::serverMessages::VisionOSHandshake::Reply> visionOSHandshake(
      messaging::serverMessages::VisionOSHandshake::Request request) override;
  asio::awaitable<messaging::serverMessages::Windows::Reply> displays(
      messaging::serverMessages::Windows::Request request) override;
  asio::awaitable<messaging::serverMessages::WindowPreview::Reply> windowPreview(
      messaging::serverMessages::WindowPreview::Request request) override;
  asio::awaitable<messaging::SerializableVoid> startCasting(
      messaging::serverMessages::StartCasting::Request request) override;
  asio::awaitable<messaging::SerializableVoid> stopCasting(
      messaging::serverMessages::StopCasting::Request request) override;
  asio::awaitable<messaging::SerializableVoid> windowMask(
      messaging::serverMessages::WindowMask::Request request) override;
  asio::awaitable<messaging::SerializableVoid> startWatchingForChildWindows(
      messaging::serverMessages::StartWatchingForChildWindows::Request request) override;
  asio::awaitable<messaging::SerializableVoid> stopWatchingForChildWindows(
      messaging::serverMessages::StopWatchingForChildWindows::Request request) override;
  asio::awaitable<messaging::SerializableVoid> mouseMoved(
      messaging::serverMessages::MouseMoved::Request request) override;
  asio::awaitable<messaging::SerializableVoid> clicked(messaging::serverMessages::Clicked::Request request) override;
  asio::awaitable<messaging::SerializableVoid> scrollBegan(
      messaging::serverMessages::ScrollBegan::Request request) override;
  asio::awaitable<messaging::SerializableVoid> scrollChanged(
      messaging::serverMessages::ScrollChanged::Request request) override;
  asio::awaitable<messaging::SerializableVoid> scrollEnded(
      messaging::serverMessages::ScrollEnded::Request request) override;
  asio::awaitable<messaging::SerializableVoid> dragBegan(
      messaging::serverMessages::DragBegan::Request request) override;
  asio::awaitable<messaging::SerializableVoid> dragChanged(
      messaging::serverMessages::DragChanged::Request request) override;
  asio::awaitable<messaging::SerializableVoid> dragEnded(
      messaging::serverMessages::DragEnded::Request request) override;
  asio::awaitable<messaging::SerializableVoid> typed(messaging::serverMessages::Typed::Request request) override;

 private:
  std::string computerName() const;

  Services services_;
  std::int64_t version_;
  mutable std::mutex remoteMutex_;
  std::optional<messaging::Remote> remote_;
};

}  // namespace marlinax::server
