#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/Bytes.h"
#include "codec/ProducerError.h"

namespace marlinax::codec {

// The thirteen fixed-width primitives, written as raw little-endian bytes. `Int` and `UInt` are
// the 64-bit types.
template <class T>
concept Primitive = std::same_as<T, std::int8_t> || std::same_as<T, std::int16_t> || std::same_as<T, std::int32_t> ||
    std::same_as<T, std::int64_t> || std::same_as<T, std::uint8_t> || std::same_as<T, std::uint16_t> ||
    std::same_as<T, std::uint32_t> || std::same_as<T, std::uint64_t> || std::same_as<T, bool> ||
    std::same_as<T, float> || std::same_as<T, double>;

using Int = std::int64_t;
using UInt = std::uint64_t;

template <Primitive T>
struct TypeConvert {
  static constexpr std::size_t width = sizeof(T);
  using Unsigned = std::conditional_t<
      width == 1, std::uint8_t,
      std::conditional_t<width == 2, std::uint16_t, std::conditional_t<width == 4, std::uint32_t, std::uint64_t>>>;

  // Writes the raw bytes of `value` to `out` (which has room for `width` bytes).
  static void store(std::uint8_t* out, T value) noexcept {
    if constexpr (std::same_as<T, bool>) {
      out[0] = value ? 1 : 0;
    } else {
      auto bits = std::bit_cast<Unsigned>(value);
      for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
  }

  // The `data` of a value.
  static void append(Bytes& out, T value) {
    std::size_t at = out.size();
    out.resize(at + width);
    store(out.data() + at, value);
  }

  // Reads a value from raw bytes known to be at least `width` long, without checks.
  static T load(const std::uint8_t* in) noexcept {
    if constexpr (std::same_as<T, bool>) return in[0] != 0;
    Unsigned bits = 0;
    for (std::size_t i = 0; i < width; ++i) bits |= static_cast<Unsigned>(Unsigned{in[i]} << (8 * i));
    return std::bit_cast<T>(bits);
  }

  // `init(data:)`: the value from the first `width` bytes of an element; further bytes are
  // ignored. `position` is the message offset of element[0].
  static T fromData(ByteView element, std::int64_t position) {
    if (element.size() < width) throw ProducerError::truncated();
    if constexpr (std::same_as<T, bool>) {
      if (element[0] > 1) throw ProducerError(ProducerError::Kind::invalidBool, position);
      return element[0] == 1;
    } else {
      return load(element.data());
    }
  }
};

}  // namespace marlinax::codec
