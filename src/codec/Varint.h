#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/Bytes.h"

namespace marlinax::codec {

// Unsigned LEB128: 7-bit groups, least significant first, 0x80 on every byte but the last.
// Writers only write values below 2^63, so a varint is at most 9 bytes; a larger value is a
// programming error and stops the program.
void appendVarint(Bytes& out, std::uint64_t value);

// Reads a varint at `offset` and moves `offset` past it. Throws ProducerError(truncated) when the
// bytes end first or when a ninth byte still has its continuation bit set.
std::uint64_t readVarint(ByteView data, std::size_t& offset);

// A string: varint byte count, then the UTF-8 bytes.
void appendString(Bytes& out, std::string_view value);

// Reads a string at `offset` and moves `offset` past it. `base` is the message offset of
// data[0]; invalid UTF-8 is reported as invalidUTF8 at the message offset of the first UTF-8 byte.
std::string readString(ByteView data, std::size_t& offset, std::int64_t base);

// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(ByteView bytes) noexcept;

// The text with every invalid sequence replaced by U+FFFD (one per maximal
// subpart, as Unicode recommends), so that it always decodes as a string.
std::string toValidUtf8(std::string_view text);

}  // namespace marlinax::codec
