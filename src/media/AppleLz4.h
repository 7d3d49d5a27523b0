#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/Bytes.h"

namespace marlinax::media {

// The LZ4 stream form of Apple's Compression library (the form the headset's
// decompressor reads for its LZ4 algorithm). A stream is a run of blocks, each
// starting with a four-byte magic:
//   "bv41" decodedSize:u32le encodedSize:u32le <encodedSize bytes of a raw LZ4 block>
//   "bv4-" size:u32le <size bytes stored as they are>
//   "bv4$"  end of stream
inline constexpr std::size_t kAppleLz4BlockSize = 64 * 1024;

// Compresses `input` into blocks of at most kAppleLz4BlockSize decoded bytes. Every
// LZ4 block is independent (no references into earlier blocks), and a block that
// would not shrink is stored raw. The empty input gives just the end marker.
Bytes compressAppleLz4(ByteView input);

// Decodes a whole stream: its blocks, the end marker, and nothing after it. Accepts
// LZ4 blocks that refer back into the previous 64 KiB of output, as the form allows.
// Throws MediaError on malformed input (unknown magic, truncation, a block that does
// not decode to its declared size, bytes after the end marker) and when the output
// would exceed `maxOutput` bytes; it never allocates more than the input can produce.
Bytes decompressAppleLz4(ByteView input, std::size_t maxOutput = std::size_t{1} << 30);

}  // namespace marlinax::media
