// A Connection over TLS on a TCP socket. Internal to transport.
#pragma once

#include "transport/Connection.h"

#include <asio/ip/tcp.hpp>

#include <memory>

namespace marlinax::transport {

struct TlsContext;

// Every use of the TLS stream is serialised on a strand of the socket's
// executor. Sets TCP_NODELAY.
Connection makeTlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> context,
                             bool listening);

}  // namespace marlinax::transport
