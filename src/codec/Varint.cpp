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

namespace {

// Looks at the UTF-8 sequence starting at bytes[i]. Returns its length when it
// is one valid code point; otherwise 0, with `subpart` set to the length of the
// longest prefix that could have begun a valid sequence (at least 1), which is
// what one replacement character stands for.
std::size_t sequenceAt(ByteView bytes, std::size_t i, std::size_t& subpart) noexcept {
  subpart = 1;
  const std::uint8_t b = bytes[i];
  if (b < 0x80) return 1;
  std::size_t extra;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2;
    if (b == 0xE0)
      lo = 0xA0;  // overlong
    else if (b == 0xED)
      hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3;
    if (b == 0xF0)
      lo = 0x90;  // overlong
    else if (b == 0xF4)
      hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    if (i + k >= bytes.size()) return 0;
    const std::uint8_t c = bytes[i + k];
    const bool fits = k == 1 ? (c >= lo && c <= hi) : (c & 0xC0) == 0x80;
    if (!fits) return 0;
    subpart = k + 1;
  }
  return extra + 1;
}

}  // namespace

bool isValidUtf8(ByteView bytes) noexcept {
  std::size_t subpart = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = sequenceAt(bytes, i, subpart);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string toValidUtf8(std::string_view text) {
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::string out;
  out.reserve(text.size());
  std::size_t subpart = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = sequenceAt(bytes, i, subpart);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
      i += subpart;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace marlinax::codec
