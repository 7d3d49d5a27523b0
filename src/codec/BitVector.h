#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/Bytes.h"

namespace marlinax::codec {

// The nil bitmap: one bit per entry, entry i is bit (i mod 8) of byte (i div 8), a set bit
// meaning nil. Bits past the last entry are written as 0 and ignored when read.
class BitVector {
 public:
  explicit BitVector(std::size_t count) : count_(count), bytes_(byteCount(count), 0) {}

  static constexpr std::size_t byteCount(std::size_t count) noexcept { return count / 8 + (count % 8 != 0 ? 1 : 0); }

  // Reads bit i of a bitmap in wire form; the caller keeps i below the entry count.
  static bool test(ByteView bitmap, std::size_t i) noexcept { return (bitmap[i / 8] >> (i % 8)) & 1U; }

  void set(std::size_t i) noexcept { bytes_[i / 8] |= static_cast<std::uint8_t>(1U << (i % 8)); }
  bool operator[](std::size_t i) const noexcept { return test(bytes_, i); }
  std::size_t size() const noexcept { return count_; }
  const Bytes& bytes() const noexcept { return bytes_; }

 private:
  std::size_t count_;
  Bytes bytes_;
};

}  // namespace marlinax::codec
