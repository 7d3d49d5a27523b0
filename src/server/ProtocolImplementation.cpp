#include "server/ProtocolImplementation.h"

#include <utility>

#include "messaging/ProtocolVersion.h"
#include "platform/ComputerName.h"

namespace marlinax::server {

using namespace messaging;

namespace {

[[noreturn]] void notAvailable(const char* operation) {
  throw NotAvailable(std::string(operation) + ": not available on this server");
}

}  // namespace

ProtocolImplementation::ProtocolImplementation(Services services)
    : services_(std::move(services)), version_(services_.version ? *services_.version : protocolVersion()) {}

ProtocolImplementation::~ProtocolImplementation() = default;

asio::awaitable<std::optional<Bytes>> ProtocolImplementation::handle(Messages message, Bytes data) {
  // Keeps the handler alive for the whole request even if the connection goes.
  auto self = shared_from_this();
  co_return co_await serveServerMessage(*self, message, std::move(data));
}

void ProtocolImplementation::setRemote(Remote remote) {
  std::lock_guard lock(remoteMutex_);
  remote_ = std::move(remote);
}

std::optional<Remote> ProtocolImplementation::remote() const {
  std::lock_guard lock(remoteMutex_);
  return remote_;
}

std::string ProtocolImplementation::computerName() const {
  // A name that cannot be read, or an empty one, is replaced by a generic one
  // so that the headset always has something to show.
  try {
    std::string name = services_.computerName ? services_.computerName() : platform::computerName();
    if (!name.empty())
      return name;
  } catch (...) {
  }
  return fallbackComputerName;
}

asio::awaitable<serverMessages::VisionOSHandshake::Reply> ProtocolImplementation::visionOSHandshake(
    serverMessages::VisionOSHandshake::Request) {
  // The headset's version is read but not compared with anything.
  co_return serverMessages::VisionOSHandshake::Reply{.version = version_, .name = computerName()};
}

asio::awaitable<serverMessages::Windows::Reply> ProtocolImplementation::displays(serverMessages::Windows::Request) {
  notAvailable("displays");
  co_return serverMessages::Windows::Reply{};
}

asio::awaitable<serverMessages::WindowPreview::Reply> ProtocolImplementation::windowPreview(
    serverMessages::WindowPreview::Request) {
  notAvailable("windowPreview");
  co_return std::nullopt;
}

asio::awaitable<SerializableVoid> ProtocolImplementation::startCasting(serverMessages::StartCasting::Request) {
  notAvailable("startCasting");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::stopCasting(serverMessages::StopCasting::Request) {
  notAvailable("stopCasting");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::windowMask(serverMessages::WindowMask::Request) {
  notAvailable("windowMask");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::startWatchingForChildWindows(
    serverMessages::StartWatchingForChildWindows::Request) {
  notAvailable("startWatchingForChildWindows");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::stopWatchingForChildWindows(
    serverMessages::StopWatchingForChildWindows::Request) {
  notAvailable("stopWatchingForChildWindows");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::mouseMoved(serverMessages::MouseMoved::Request) {
  notAvailable("mouseMoved");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::clicked(serverMessages::Clicked::Request) {
  notAvailable("clicked");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollBegan(serverMessages::ScrollBegan::Request) {
  notAvailable("scrollBegan");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollChanged(serverMessages::ScrollChanged::Request) {
  notAvailable("scrollChanged");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollEnded(serverMessages::ScrollEnded::Request) {
  notAvailable("scrollEnded");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragBegan(serverMessages::DragBegan::Request) {
  notAvailable("dragBegan");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragChanged(serverMessages::DragChanged::Request) {
  notAvailable("dragChanged");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragEnded(serverMessages::DragEnded::Request) {
  notAvailable("dragEnded");
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::typed(serverMessages::Typed::Request) {
  notAvailable("typed");
  co_return SerializableVoid{};
}

}  // namespace marlinax::server
