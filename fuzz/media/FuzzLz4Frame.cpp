// Feeds arbitrary bytes to the LZ4 stream decoder: it must reject malformed streams with
// MediaError only (no overrun, no huge allocation). Whatever it accepts must survive a
// trip through the encoder, and the input itself, taken as data, must too.
#include <cstdint>
#include <cstdlib>

#include "media/AppleLz4.h"
#include "media/MediaError.h"

namespace {

constexpr std::size_t kMaxOutput = 8 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace marlinax;
  const ByteView input(data, size);
  try {
    const Bytes decoded = media::decompressAppleLz4(input, kMaxOutput);
    if (media::decompressAppleLz4(media::compressAppleLz4(decoded)) != decoded) std::abort();
  } catch (const media::MediaError&) {
    // Malformed input: the expected outcome for most inputs.
  }
  if (media::decompressAppleLz4(media::compressAppleLz4(input)) != Bytes(input.begin(), input.end())) std::abort();
  return 0;
}
