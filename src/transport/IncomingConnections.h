// The listener: a TCP port on every interface (IPv4 and IPv6), advertised
// over DNS-SD, whose accepted connections come out as an asynchronous sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "codec/Bytes.h"
#include "transport/AddressFilter.h"
#include "transport/Connection.h"

namespace marlinax::transport {

// Move-only handle on the listener. Accepted connections wait in an unbounded
// buffer, not yet connected (the consumer calls connect()). terminate(), or
// destroying the handle, stops accepting (new TCP connections are refused),
// withdraws the advertisement and ends the sequence normally; connections
// already accepted are not affected.
class IncomingConnections {
 public:
  class State;
  explicit IncomingConnections(std::shared_ptr<State> state);
  IncomingConnections(IncomingConnections&&) noexcept;
  IncomingConnections& operator=(IncomingConnections&&) noexcept;
  ~IncomingConnections();

  // The next accepted connection; std::nullopt once terminated. Throws
  // std::system_error if the listener could not be created or failed.
  asio::awaitable<std::optional<Connection>> next();

  // The port listened on (the system's choice when 0 was asked for); 0 if the
  // listener could not be created.
  std::uint16_t port() const;

  void terminate();

 private:
  std::shared_ptr<State> state_;
};

// Starts listening on `port` (0: a system-chosen one) with the TLS parameters of
// `passcode` and advertises the port as a DNS-SD service of `type` under
// `name` (the computer's name when absent). An empty `type` listens without
// advertising. DNS-SD trouble never stops the listener: it is logged and
// retried while the listener runs.
//
// Every accepted connection is held to the computer's limits: a message may
// announce at most kIncomingMaximumMessageSize bytes, and TCP keepalive finds
// a peer that vanished without closing. With `allowed`, a connection from an
// address outside it is closed before TLS, with one log line.
IncomingConnections incomingConnections(asio::any_io_executor executor, ByteView passcode,
                                        std::optional<std::string> name, std::string type, std::uint16_t port = 0,
                                        std::optional<AddressFilter> allowed = std::nullopt);

}  // namespace marlinax::transport
