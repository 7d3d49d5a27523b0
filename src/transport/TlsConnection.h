// A Connection over TLS on a TCP socket. Internal to transport.
#pragma once

#include <memory>

#include <asio/ip/tcp.hpp>

#include "transport/Connection.h"

namespace marlinax::transport {

struct TlsContext;

// Every use of the TLS stream is serialised on a strand of the socket's
// executor. Sets TCP_NODELAY.
Connection makeTlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> context, bool listening);

}  // namespace marlinax::transport
