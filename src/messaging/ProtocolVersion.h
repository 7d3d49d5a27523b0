#pragma once

#include <cstdint>

namespace marlinax::messaging {

// The protocol version both handshakes carry: the product's build number, set
// at configure time. Read once and kept for the life of the process. A value
// that is not a decimal integer is a configuration error: CMake refuses it, and
// reading it here throws std::logic_error.
std::int64_t protocolVersion();

}  // namespace marlinax::messaging
