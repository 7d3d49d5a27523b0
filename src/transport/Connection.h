// One framed message connection: TLS over TCP to or from a headset, or an
// in-memory pair for tests of the layers above.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "codec/Bytes.h"
#include "transport/Framing.h"

namespace marlinax::transport {

inline constexpr std::chrono::milliseconds kDefaultMessageDeadline{30'000};
// Received messages waiting for receive() beyond which reading pauses (one
// read may still add the messages it completed).
inline constexpr std::size_t kMaxWaitingMessages = 64;

// A value type: copies share one connection and one incoming message stream.
//
// Lifecycle: a connection from the listener or from makePipe() is created but
// not yet secured; connect() brings TLS up and starts receiving. A TLS
// connection stops reading from its socket while kMaxWaitingMessages messages
// wait for receive(), so a consumer that pauses pushes back on the peer
// through TCP; a pipe buffers without limit.
//
// Ending: a peer that closes (with or without a TLS close_notify) ends the
// stream normally, receive() yields std::nullopt; a network or TLS failure,
// a stream cut inside a message, or an announced length above the limit ends
// it with that error, receive() throws std::system_error. Messages that
// arrived before the end are handed out first either way.
class Connection {
 public:
  class Impl;
  // An empty handle, only to be assigned to (coroutine results need one).
  Connection() = default;
  explicit Connection(std::shared_ptr<Impl> impl);

  // Performs the TLS handshake (server side for an accepted connection).
  // Throws std::system_error if it fails, or if close() runs before it
  // completes, so a caller never waits on a connection that cannot become
  // ready. A pipe is ready at once.
  asio::awaitable<void> connect();

  // The next whole message in arrival order; std::nullopt once the stream
  // ended normally. Meant for one consumer (the multiplexer); several
  // concurrent callers each get distinct messages.
  asio::awaitable<std::optional<Bytes>> receive();

  // Sends exactly one framed message and resumes once the transport took it.
  // Concurrent calls never interleave their bytes; they leave in call order,
  // except that over TLS a small message (up to 64 KiB) waiting for its turn
  // goes ahead of larger ones waiting too.
  // Throws std::system_error on failure (no retry).
  asio::awaitable<void> send(Bytes data);
  // The same for a message given in pieces, written one after the other
  // straight from where they lie (one gather write over TLS). The pieces must
  // stay valid until the call resumes.
  asio::awaitable<void> sendPieces(std::span<const ByteView> pieces);

  // True for a connection accepted by the listener, false for one opened here.
  bool listening() const;

  // Upper bound on the length a peer may announce for one message; takes
  // effect when set before connect(). Longer announcements fail the stream.
  void setMaximumMessageSize(std::uint64_t bytes);

  // A message whose first bytes arrived must be complete within this time,
  // or the stream fails with TransportError::messageStalled; takes effect when
  // set before connect(). Default kDefaultMessageDeadline.
  void setMessageDeadline(std::chrono::milliseconds deadline);

  // Closes the connection for tools, tests and shutdown: pending and later
  // sends fail, the incoming stream ends normally, a pending connect() fails.
  // Idempotent, callable from any thread.
  void close();

  // An in-memory connected pair with the same receive/send semantics and no
  // TLS. first.listening() is true (the accepting side), second's is false.
  // Closing either side ends both streams normally.
  static std::pair<Connection, Connection> makePipe(asio::any_io_executor executor);

  friend bool operator==(const Connection& a, const Connection& b) { return a.impl_ == b.impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// Opens a TCP connection to host:port (a numeric address or a resolvable
// name), secures it with the key derived from `passcode` and returns it ready.
// The connection plays the headset's part of the framing: it writes its
// headers big-endian and reads the server's little-endian ones.
// Throws std::system_error if any step fails.
asio::awaitable<Connection> openConnection(asio::any_io_executor executor, std::string host, std::uint16_t port,
                                           ByteView passcode,
                                           std::uint64_t maximumMessageSize = kDefaultMaximumMessageSize);

}  // namespace marlinax::transport
