// Feeds the frame reader arbitrary bytes in arbitrary chunks (partial commits
// included) and checks it against a plain whole-buffer parse of the same bytes:
// same messages, failure exactly when an oversize header is complete.
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "transport/Framing.h"
#include "transport/TransportError.h"

namespace {

using marlinax::Bytes;
using marlinax::transport::FrameReader;
using marlinax::transport::HeaderOrder;
using marlinax::transport::kFrameHeaderSize;

struct Expected {
  std::vector<Bytes> messages;
  std::size_t failAt = SIZE_MAX;  // stream offset after the oversize header
};

Expected referenceParse(const Bytes& stream, std::uint64_t limit, HeaderOrder order) {
  Expected expected;
  std::size_t offset = 0;
  while (stream.size() - offset >= kFrameHeaderSize) {
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) {
      const std::size_t at = order == HeaderOrder::bigEndian ? i : kFrameHeaderSize - 1 - i;
      length = (length << 8) | stream[offset + at];
    }
    offset += kFrameHeaderSize;
    if (length >= (std::uint64_t{1} << 63) || length > limit) {
      expected.failAt = offset;
      break;
    }
    if (stream.size() - offset < length) break;
    expected.messages.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                                   stream.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  constexpr std::uint64_t kLimits[] = {0, 1, 7, 100, 4095, 4096, 20000, 1 << 20};
  const std::uint64_t limit = kLimits[provider.ConsumeIntegralInRange<std::size_t>(0, 7)];
  const HeaderOrder order = provider.ConsumeBool() ? HeaderOrder::bigEndian : HeaderOrder::littleEndian;
  // Chunk sizes come from the front, the stream is the rest.
  std::vector<std::size_t> chunks;
  const std::size_t chunkCount = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < chunkCount; ++i) {
    chunks.push_back(provider.ConsumeIntegralInRange<std::size_t>(1, 70000));
  }
  const Bytes stream = provider.ConsumeRemainingBytes<std::uint8_t>();
  const Expected expected = referenceParse(stream, limit, order);

  FrameReader reader(limit, order);
  std::vector<Bytes> received;
  std::size_t offset = 0;
  std::size_t chunkIndex = 0;
  bool failed = false;
  while (offset < stream.size()) {
    const auto space = reader.prepare();
    if (space.empty()) std::abort();
    std::size_t count = chunks.empty() ? space.size() : chunks[chunkIndex++ % chunks.size()];
    count = std::min({count, space.size(), stream.size() - offset});
    std::memcpy(space.data(), stream.data() + offset, count);
    try {
      reader.commit(count);
    } catch (const std::system_error& error) {
      if (error.code() != marlinax::transport::TransportError::messageTooLarge) std::abort();
      failed = true;
    }
    offset += count;
    while (auto message = reader.next()) received.push_back(std::move(*message));
    if (failed) {
      // The failure surfaces in the read that completed the bad header.
      if (expected.failAt > offset || expected.failAt + count <= offset) std::abort();
      break;
    }
  }
  if (!failed && expected.failAt != SIZE_MAX) std::abort();
  if (received != expected.messages) std::abort();
  return 0;
}
