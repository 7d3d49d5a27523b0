#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace marlinax {

// An owned byte string: message bodies, element bytes, image planes.
using Bytes = std::vector<std::uint8_t>;
// A borrowed, read-only view of bytes.
using ByteView = std::span<const std::uint8_t>;

}  // namespace marlinax
