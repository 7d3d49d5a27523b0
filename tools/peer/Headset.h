#pragma once

// The headset's side of a connection, for the test peer: it serves the three
// requests the computer sends (the handshake, frames and child-window lists)
// and sends the headset's requests through the same multiplexer code the
// server uses.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "messaging/MessageCatalogue.h"
#include "messaging/Multiplexer.h"
#include "messaging/Protocols.h"
#include "messaging/Remote.h"
#include "transport/Connection.h"

namespace marlinax::peer {

struct HeadsetIdentity {
  std::int64_t version = 0;  // answered to the computer's handshake
  std::string name = "Marlinax Peer";
};

class HeadsetHandler final : public messaging::MessageProtocol,
                             public messaging::ClientProtocol,
                             public std::enable_shared_from_this<HeadsetHandler> {
 public:
  using FrameSink = std::function<void(messaging::clientMessages::WindowFrame::Request)>;

  explicit HeadsetHandler(HeadsetIdentity identity) : identity_(std::move(identity)) {}

  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes data) override;

  asio::awaitable<messaging::clientMessages::MacOSHandshake::Reply>
  macOSHandshake(messaging::clientMessages::MacOSHandshake::Request request) override;
  asio::awaitable<messaging::SerializableVoid>
  childWindows(messaging::clientMessages::ChildWindows::Request request) override;
  // Frames are answered at once (the reply body is empty); the sink, when
  // set, sees each one first.
  asio::awaitable<messaging::SerializableVoid>
  windowFrame(messaging::clientMessages::WindowFrame::Request request) override;

  void setFrameSink(FrameSink sink);

  // The version the computer's handshake carried, once it came.
  std::optional<std::int64_t> computerVersion() const;
  const HeadsetIdentity& identity() const { return identity_; }
  std::uint64_t framesReceived() const { return frames_; }
  std::uint64_t childWindowListsReceived() const { return childWindowLists_; }

 private:
  HeadsetIdentity identity_;
  mutable std::mutex mutex_;
  std::optional<std::int64_t> computerVersion_;
  FrameSink frameSink_;
  std::atomic<std::uint64_t> frames_ = 0;
  std::atomic<std::uint64_t> childWindowLists_ = 0;
};

// One connection to a computer, as the headset sees it.
class HeadsetSession {
 public:
  HeadsetSession(asio::any_io_executor executor, transport::Connection connection, HeadsetIdentity identity);

  // Opens a TLS connection (the headset's framing) and starts serving.
  static asio::awaitable<std::shared_ptr<HeadsetSession>> open(asio::any_io_executor executor, std::string host,
                                                               std::uint16_t port, Bytes pairingCode,
                                                               HeadsetIdentity identity);

  // Sends one of the computer's messages and waits for its decoded reply.
  template <class M>
  asio::awaitable<typename M::Reply> call(typename M::Request request) const {
    return messaging::Remote::callOver<M>(multiplexer_, std::move(request));
  }

  // Waits (polling) until the computer's handshake has been served, up to `limit`.
  asio::awaitable<std::optional<std::int64_t>> computerHandshake(std::chrono::milliseconds limit) const;

  HeadsetHandler& handler() const { return *handler_; }
  const messaging::Multiplexer& multiplexer() const { return multiplexer_; }
  void close() { connection_.close(); }

 private:
  transport::Connection connection_;
  std::shared_ptr<HeadsetHandler> handler_;
  messaging::Multiplexer multiplexer_;
};

}  // namespace marlinax::peer
