#pragma once

#include <optional>

#include <asio/awaitable.hpp>

#include "codec/Bytes.h"
#include "messaging/MessageCatalogue.h"
#include "messaging/Messages.h"

namespace marlinax::messaging {

// The local handler of a multiplexer.
class MessageProtocol {
 public:
  virtual ~MessageProtocol() = default;
  // The reply body for a request this side serves, or nothing when `message` is
  // not served here: the multiplexer then takes the message as the peer's reply
  // to one of this side's requests. Throwing means the request gets no reply.
  virtual asio::awaitable<std::optional<Bytes>> handle(Messages message, Bytes data) = 0;
};

// What the computer serves: one operation per server message, request in,
// reply out. A throwing operation leaves the request unanswered.
class ServerProtocol {
 public:
  virtual ~ServerProtocol() = default;

  virtual asio::awaitable<serverMessages::VisionOSHandshake::Reply>
  visionOSHandshake(serverMessages::VisionOSHandshake::Request request) = 0;
  virtual asio::awaitable<serverMessages::Windows::Reply> displays(serverMessages::Windows::Request request) = 0;
  virtual asio::awaitable<serverMessages::WindowPreview::Reply>
  windowPreview(serverMessages::WindowPreview::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> startCasting(serverMessages::StartCasting::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> stopCasting(serverMessages::StopCasting::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> windowMask(serverMessages::WindowMask::Request request) = 0;
  virtual asio::awaitable<SerializableVoid>
  startWatchingForChildWindows(serverMessages::StartWatchingForChildWindows::Request request) = 0;
  virtual asio::awaitable<SerializableVoid>
  stopWatchingForChildWindows(serverMessages::StopWatchingForChildWindows::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> mouseMoved(serverMessages::MouseMoved::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> clicked(serverMessages::Clicked::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> scrollBegan(serverMessages::ScrollBegan::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> scrollChanged(serverMessages::ScrollChanged::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> scrollEnded(serverMessages::ScrollEnded::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> dragBegan(serverMessages::DragBegan::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> dragChanged(serverMessages::DragChanged::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> dragEnded(serverMessages::DragEnded::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> typed(serverMessages::Typed::Request request) = 0;
};

// What the headset serves. The computer's Remote is the calling side; the test
// peer is a serving side.
class ClientProtocol {
 public:
  virtual ~ClientProtocol() = default;
  virtual asio::awaitable<clientMessages::MacOSHandshake::Reply>
  macOSHandshake(clientMessages::MacOSHandshake::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> childWindows(clientMessages::ChildWindows::Request request) = 0;
  virtual asio::awaitable<SerializableVoid> windowFrame(clientMessages::WindowFrame::Request request) = 0;
};

// Serving one message: decode the body as the message's request type (a decode
// failure throws, so no reply), run the operation, encode its reply (an empty
// body for SerializableVoid). Messages of the other group give nothing.
asio::awaitable<std::optional<Bytes>> serveServerMessage(ServerProtocol& protocol, Messages message, Bytes data);
asio::awaitable<std::optional<Bytes>> serveClientMessage(ClientProtocol& protocol, Messages message, Bytes data);

}  // namespace marlinax::messaging
