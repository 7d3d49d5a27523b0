#include "codec/Varint.h"

#include "codec/Encoder.h"
#include "codec/ProducerError.h"

namespace marlinax::codec {

void appendVarint(Bytes& out, std::uint64_t value) {
  if (value >> 63) detail::encodingMisuse("a varint value does not fit in 63 bits");
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t readVarint(ByteView data, std::size_t& offset) {
  std::uint64_t value = 0;
  // Nine bytes carry 63 bits, all a writer ever produces; a ninth byte that still announces a
  // tenth is refused.
  for (unsigned i = 0; i < 9; ++i) {
    if (offset >= data.size()) throw ProducerError::truncated();
    std::uint8_t byte = data[offset++];
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) return value;
  }
  throw ProducerError::truncated();
}

void appendString(Bytes& out, std::string_view value) {
  appendVarint(out, value.size());
  out.insert(out.end(), value.begin(), value.end());
}

std::string readString(ByteView data, std::size_t& offset, std::int64_t base) {
  std::uint64_t length = readVarint(data, offset);
  if (length > data.size() - offset) throw ProducerError::truncated();
  ByteView bytes = data.subspan(offset, static_cast<std::size_t>(length));
  if (!isValidUtf8(bytes))
    throw ProducerError(ProducerError::Kind::invalidUTF8, base + static_cast<std::int64_t>(offset));
  offset += bytes.size();
  return std::string(bytes.begin(), bytes.end());
}

bool isValidUtf8(ByteView bytes) noexcept {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    std::uint8_t b = bytes[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) lo = 0xA0;       // overlong
      else if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) lo = 0x90;       // overlong
      else if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    if (bytes[i + 1] < lo || bytes[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= extra; ++k)
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace marlinax::codec
