#pragma once

#include <system_error>

namespace marlinax::transport {

// Failures this layer detects itself; network and TLS failures keep the
// error codes of the layer that reported them.
enum class TransportError {
  messageTooLarge = 1,  // a header announced more than the reader accepts
  messageTruncated,     // the stream ended inside a header or a body
  closedBeforeReady,    // close() ran before the connection was ready
  closed,               // the connection was closed locally
  messageStalled,       // a message stayed incomplete for too long
};

const std::error_category& transportCategory();

inline std::error_code make_error_code(TransportError e) { return {static_cast<int>(e), transportCategory()}; }

}  // namespace marlinax::transport

template <>
struct std::is_error_code_enum<marlinax::transport::TransportError> : std::true_type {};
