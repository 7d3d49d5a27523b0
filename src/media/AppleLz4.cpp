#include "media/AppleLz4.h"

#include <algorithm>
#include <cstring>

#include <lz4.h>

#include "media/MediaError.h"

namespace marlinax::media {
namespace {

constexpr std::uint8_t kCompressedMagic[4] = {'b', 'v', '4', '1'};
constexpr std::uint8_t kRawMagic[4] = {'b', 'v', '4', '-'};
constexpr std::uint8_t kEndMagic[4] = {'b', 'v', '4', '$'};

// An LZ4 block expands at most about 255 times (one length byte adds at most 255
// match bytes); anything declaring more is malformed and must not size an allocation.
constexpr std::uint64_t kMaxExpansion = 256;
constexpr std::uint64_t kExpansionSlack = 64;

// LZ4 matches reach back at most this far.
constexpr std::size_t kLz4Window = 64 * 1024;

void appendLe32(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 24));
}

std::uint32_t readLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

Bytes compressAppleLz4(ByteView input) {
  Bytes out;
  // Typical masks compress to a small fraction; reserve for the header-heavy case of
  // many tiny blocks and let the vector grow for incompressible data.
  const std::size_t blocks = (input.size() + kAppleLz4BlockSize - 1) / kAppleLz4BlockSize;
  out.reserve(blocks * 12 + 4 + input.size() / 16);

  // One scratch area per call: blocks are compressed one after the other into it.
  Bytes scratch(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(kAppleLz4BlockSize))));
  for (std::size_t offset = 0; offset < input.size(); offset += kAppleLz4BlockSize) {
    const std::size_t size = std::min(kAppleLz4BlockSize, input.size() - offset);
    const auto* source = reinterpret_cast<const char*>(input.data() + offset);
    // LZ4_compress_default starts every call from an empty dictionary, so each block
    // decodes on its own.
    const int encoded = LZ4_compress_default(source, reinterpret_cast<char*>(scratch.data()), static_cast<int>(size),
                                             static_cast<int>(scratch.size()));
    if (encoded > 0 && static_cast<std::size_t>(encoded) < size) {
      out.insert(out.end(), std::begin(kCompressedMagic), std::end(kCompressedMagic));
      appendLe32(out, static_cast<std::uint32_t>(size));
      appendLe32(out, static_cast<std::uint32_t>(encoded));
      out.insert(out.end(), scratch.begin(), scratch.begin() + encoded);
    } else {
      out.insert(out.end(), std::begin(kRawMagic), std::end(kRawMagic));
      appendLe32(out, static_cast<std::uint32_t>(size));
      out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(offset),
                 input.begin() + static_cast<std::ptrdiff_t>(offset + size));
    }
  }
  out.insert(out.end(), std::begin(kEndMagic), std::end(kEndMagic));
  return out;
}

Bytes decompressAppleLz4(ByteView input, std::size_t maxOutput) {
  Bytes out;
  std::size_t pos = 0;
  const std::size_t size = input.size();
  auto need = [&](std::size_t count, const char* what) {
    if (size - pos < count) throw MediaError(std::string("LZ4 stream truncated in ") + what);
  };
  auto reserveOutput = [&](std::uint64_t count) {
    if (count > maxOutput - out.size()) throw MediaError("LZ4 stream decodes to more than allowed");
  };

  for (;;) {
    need(4, "a block magic");
    const std::uint8_t* magic = input.data() + pos;
    pos += 4;
    if (std::memcmp(magic, kEndMagic, 4) == 0) {
      if (pos != size) throw MediaError("bytes after the end of the LZ4 stream");
      return out;
    }
    if (std::memcmp(magic, kRawMagic, 4) == 0) {
      need(4, "a raw block header");
      const std::uint32_t count = readLe32(input.data() + pos);
      pos += 4;
      need(count, "a raw block");
      reserveOutput(count);
      out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
                 input.begin() + static_cast<std::ptrdiff_t>(pos + count));
      pos += count;
      continue;
    }
    if (std::memcmp(magic, kCompressedMagic, 4) != 0) throw MediaError("unknown LZ4 stream block");

    need(8, "a compressed block header");
    const std::uint32_t decoded = readLe32(input.data() + pos);
    const std::uint32_t encoded = readLe32(input.data() + pos + 4);
    pos += 8;
    need(encoded, "a compressed block");
    if (decoded > kMaxExpansion * encoded + kExpansionSlack)
      throw MediaError("LZ4 block declares an impossible decoded size");
    // LZ4's interface counts in int.
    if (decoded > static_cast<std::uint32_t>(LZ4_MAX_INPUT_SIZE) ||
        encoded > static_cast<std::uint32_t>(LZ4_MAX_INPUT_SIZE))
      throw MediaError("LZ4 block too large");
    reserveOutput(decoded);

    const std::size_t start = out.size();
    out.resize(start + decoded);
    // The output so far directly precedes the block, so it serves as the block's
    // dictionary in place (the form allows matches into earlier blocks).
    const std::size_t history = std::min(start, kLz4Window);
    char empty = 0;  // a valid destination for a block that decodes to nothing
    char* destination = out.empty() ? &empty : reinterpret_cast<char*>(out.data() + start);
    const char* dictionary = out.empty() ? &empty : reinterpret_cast<const char*>(out.data() + start - history);
    const int produced = LZ4_decompress_safe_usingDict(reinterpret_cast<const char*>(input.data() + pos), destination,
                                                       static_cast<int>(encoded), static_cast<int>(decoded), dictionary,
                                                       static_cast<int>(history));
    if (produced < 0 || static_cast<std::uint32_t>(produced) != decoded)
      throw MediaError("LZ4 block does not decode to its declared size");
    pos += encoded;
  }
}

}  // namespace marlinax::media
