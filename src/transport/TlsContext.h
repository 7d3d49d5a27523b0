// OpenSSL contexts for both ends of a connection. Internal to transport.
#pragma once

#include <memory>

#include <asio/ssl/context.hpp>

#include "transport/Tls.h"

namespace marlinax::transport {

// The context and the key material its callbacks read; shared by every
// connection made from it, so it outlives them all.
struct TlsContext {
  explicit TlsContext(asio::ssl::context::method method) : context(method) {}
  asio::ssl::context context;
  TlsParameters parameters;
};

// TLS 1.2 only, the single suite PSK-AES128-GCM-SHA256, no certificates. No
// session tickets, no session cache and no renegotiation, so every connection
// is keyed through the pre-shared key callback. A peer that ends the TCP
// stream without close_notify is treated as a normal end. The server refuses
// every identity but the one in `parameters`.
std::shared_ptr<TlsContext> makeServerContext(TlsParameters parameters);
std::shared_ptr<TlsContext> makeClientContext(TlsParameters parameters);

}  // namespace marlinax::transport
