#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "codec/Bytes.h"
#include "messaging/Messages.h"
#include "messaging/Protocols.h"
#include "transport/Connection.h"

namespace marlinax::messaging {

// The error pending requests fail with when the connection's stream ended
// normally (no reply can come any more), and that requests made afterwards fail
// with at once.
class ConnectionClosed : public std::runtime_error {
 public:
  ConnectionClosed() : std::runtime_error("the connection ended before a reply came") {}
};

// The pending requests of one side and the token the next request gets. Every
// operation is one atomic step on the table.
class Replies {
 public:
  // A one-shot continuation: completed exactly once with a reply body or an
  // error, or destroyed unused when the table goes away at shutdown.
  class Continuation {
   public:
    virtual ~Continuation() = default;
    virtual void resume(std::exception_ptr error, Bytes body) = 0;
  };

  // Stores the continuation under the current token, advances the token, and
  // returns the token it was stored under. Once closed, the continuation is
  // failed at once with the closing error and nothing is returned.
  std::optional<std::int64_t> registerContinuation(std::unique_ptr<Continuation> continuation);

  // Removes the continuation stored under `token` and resumes it with `body`.
  // False when no request is pending under that token (the reply is dropped).
  bool resume(std::int64_t token, Bytes body);

  // Fails every stored continuation with `error`, in token order, and empties the table.
  void cancelAll(std::exception_ptr error);

  // cancelAll, and every later registration fails at once with `error`.
  void close(std::exception_ptr error);

  std::size_t pendingCount() const;

 private:
  mutable std::mutex mutex_;
  std::int64_t token_ = 1;
  std::map<std::int64_t, std::unique_ptr<Continuation>> continuations_;
  std::exception_ptr closed_;
};

// Request/reply traffic over one connection in both directions. A message is
// one identifier byte, the token as a varint, then the body. Whether an
// incoming message is a request or a reply is decided by the local handler:
// when it has no reply for the identifier, the message is taken as the reply
// to this side's request with that token.
//
// A value type: copies share the connection, the handler and the pending table.
//
// Lifetime: the read loop keeps the multiplexer alive while the connection
// lasts. When the connection's stream ends, normally or with an error, every
// pending request fails (with ConnectionClosed or with the stream's error), so
// nothing waits forever, and requests made afterwards fail at once because
// nothing could answer them. The multiplexer then also lets go of its local
// handler, which breaks the handler -> remote -> multiplexer cycle.
//
// Back-pressure: at most Limits::requestsInProgress incoming messages are
// handled at once (a request counts until its reply has been written), and
// replies of at most Limits::queuedReplyBytes wait to be written. While either
// bound is reached the read loop takes no further message, so a peer that
// sends without reading fills its own TCP window instead of this process.
struct MultiplexerLimits {
  std::size_t requestsInProgress = 64;
  std::size_t queuedReplyBytes = 1 << 20;
};

// What a connection has cost so far, for logs and tests.
struct MultiplexerStats {
  std::uint64_t messagesReceived = 0;
  std::size_t requestsInProgressPeak = 0;
  std::size_t queuedReplyBytesPeak = 0;
  std::uint64_t failedSends = 0;
  MultiplexerLimits limits;
};

// A message body in pieces, written one after the other without being joined
// (a frame's JPEG goes out straight from the encoder's buffer). `owner` keeps
// the memory the pieces lie in until the write has ended.
struct MessagePieces {
  std::vector<ByteView> pieces;
  std::shared_ptr<const void> owner;

  static MessagePieces of(Bytes data);
};

class Multiplexer {
 public:
  using Limits = MultiplexerLimits;
  using Stats = MultiplexerStats;

  // Creates the pending table (first token 1) and starts the read loop on
  // `executor`. Each incoming message is handled in a task of its own.
  Multiplexer(asio::any_io_executor executor, transport::Connection connection,
              std::shared_ptr<MessageProtocol> localInterface, Limits limits = Limits());

  // Sends a request and waits for the reply's body. Fails when the stream ends
  // or fails before the reply comes; a failed write is printed and the request
  // stays pending (as a lost reply would).
  asio::awaitable<Bytes> sendWithReply(Messages message, Bytes data) const;
  asio::awaitable<Bytes> sendPiecesWithReply(Messages message, MessagePieces body) const;

  // Writes one message, never throws. The first failed send of a connection
  // is printed on standard output; every one is counted (Stats::failedSends).
  asio::awaitable<void> send(std::int64_t token, Bytes data, Messages message) const;

  // True once the read loop has ended.
  bool finished() const;

  // Calls `callback` once when the read loop ends (the connection ended or
  // failed), after the pending requests have been failed; at once, on the
  // calling thread, when it has ended already. Lets a handler stop its work
  // for a headset that is gone without polling.
  void whenFinished(std::function<void()> callback) const;

  std::size_t pendingRequests() const;
  Stats stats() const;
  asio::any_io_executor executor() const;
  transport::Connection connection() const;

  struct State;  // shared by copies; defined in the implementation

 private:
  std::shared_ptr<State> state_;
};

}  // namespace marlinax::messaging
