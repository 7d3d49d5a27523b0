#include "media/AppleLz4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "media/MediaError.h"
#include "media/MediaTestImages.h"

namespace marlinax::media {
namespace {

using testing::randomBytes;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t le32(const Bytes& data, std::size_t at) {
  return data.at(at) | data.at(at + 1) << 8 | data.at(at + 2) << 16 | std::uint32_t{data.at(at + 3)} << 24;
}

// A block: its magic, 32-bit little-endian sizes, then the payload.
Bytes block(const std::string& magic, std::initializer_list<std::uint32_t> sizes, const Bytes& payload) {
  Bytes out = bytesOf(magic);
  for (std::uint32_t size : sizes)
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(size >> shift));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Splits the stream into its blocks and decodes each alone: the headset must be able to read each
// block without the blocks before it. Returns the kinds of the blocks in order, 'c' compressed and 'r' raw.
std::string checkBlocks(const Bytes& stream, const Bytes& original) {
  std::string kinds;
  Bytes decoded;
  for (std::size_t pos = 0, next; pos + 4 < stream.size(); pos = next) {
    const bool raw = stream.at(pos + 3) == '-';
    const std::uint32_t size = le32(stream, pos + 4), encoded = raw ? size : le32(stream, pos + 8);
    EXPECT_TRUE(raw || encoded < size) << "a block that does not shrink belongs in a raw block";
    next = pos + (raw ? 8 : 12) + encoded;
    Bytes alone(stream.begin() + pos, stream.begin() + next);
    alone.insert(alone.end(), {'b', 'v', '4', '$'});
    const Bytes block = decompressAppleLz4(alone);
    EXPECT_EQ(block.size(), std::min<std::size_t>(size, kAppleLz4BlockSize));
    decoded.insert(decoded.end(), block.begin(), block.end());
    kinds += raw ? 'r' : 'c';
  }
  EXPECT_TRUE(decoded == original) << "blocks do not concatenate to the input";
  return kinds;
}

TEST(AppleLz4, SmallStreamsByteForByte) {
  EXPECT_EQ(compressAppleLz4({}), bytesOf("bv4$"));
  EXPECT_TRUE(decompressAppleLz4(bytesOf("bv4$")).empty());
  const Bytes expected = {'b', 'v', '4', '-', 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 'b', 'v', '4', '$'};
  EXPECT_EQ(compressAppleLz4(bytesOf("hello")), expected);
  EXPECT_EQ(decompressAppleLz4(expected), bytesOf("hello"));

  // Streams from other encoders may refer back into earlier blocks, raw ones too: a raw block, then
  // a block of a 20-byte match 100 bytes back and five literals.
  const Bytes first = randomBytes(100, 11);
  Bytes stream = block("bv4-", {100}, first), decoded = first;
  const Bytes referring =
      block("bv41", {25, 10}, {0x0F, 100, 0, 0x01, 0x50, 'a', 'b', 'c', 'd', 'e', 'b', 'v', '4', '$'});
  stream.insert(stream.end(), referring.begin(), referring.end());
  decoded.insert(decoded.end(), first.begin(), first.begin() + 20);
  decoded.insert(decoded.end(), {'a', 'b', 'c', 'd', 'e'});
  EXPECT_EQ(decompressAppleLz4(stream), decoded);
}

// Each block is compressed when that makes it smaller and stored raw otherwise; a stream decodes
// within an output limit of exactly its size, not one less.
TEST(AppleLz4, RoundTripsPickingTheBlockKindPerBlockAndRejectsMalformedStreams) {
  const std::size_t full = kAppleLz4BlockSize;  // one whole block
  const std::size_t sizes[] = {1, 100, full - 1, full, full + 1, 2 * full - 1, 2 * full, 2 * full + 1, 5 * full + 17};
  const char* const runKinds[] = {"r", "c", "c", "c", "cr", "cc", "cc", "ccr", "cccccc"};
  std::vector<std::pair<Bytes, std::string>> cases;
  for (std::size_t k = 0; k < std::size(sizes); ++k) {
    Bytes runs(sizes[k]);
    for (std::size_t i = 0; i < sizes[k]; ++i) runs[i] = static_cast<std::uint8_t>((i / 300) % 7);
    cases.emplace_back(runs, runKinds[k]);
  }
  cases.emplace_back(randomBytes(3 * full + 1000, 7), "rrrr");
  cases.emplace_back(Bytes(2432 * 1280, 0xFF), std::string(48, 'c'));  // an opaque cast mask
  Bytes mixed = randomBytes(full, 3);                                  // zeros, noise, a run
  mixed.insert(mixed.begin(), full, 0x00);
  mixed.insert(mixed.end(), 1000, 0x42);
  cases.emplace_back(mixed, "crc");
  for (const auto& [input, kinds] : cases) {
    SCOPED_TRACE(input.size());
    const Bytes stream = compressAppleLz4(input);
    EXPECT_EQ(decompressAppleLz4(stream, input.size()), input);
    EXPECT_THROW(decompressAppleLz4(stream, input.size() - 1), MediaError);
    EXPECT_EQ(checkBlocks(stream, input), kinds);
  }
  EXPECT_LT(compressAppleLz4(cases[10].first).size(), cases[10].first.size() / 100);  // the opaque mask

  // Every proper prefix lacks something: a header, a payload or the end marker.
  const Bytes good = compressAppleLz4(mixed);
  for (std::size_t length = 0; length < good.size(); length += (length < 64 ? 1 : 97))
    EXPECT_THROW(decompressAppleLz4(ByteView(good).first(length)), MediaError) << length;

  // Each row changes a copy of the stream of the last case, whose first block is compressed.
  const std::pair<const char*, std::function<void(Bytes&)>> rows[] = {
      {"a byte after the end marker", [](Bytes& s) { s.push_back(0); }},
      {"an unknown magic", [](Bytes& s) { s[3] = 'x'; }},
      {"a declared decoded size one more than the block gives",
       [](Bytes& s) { std::ranges::copy(block("", {le32(s, 4) + 1}, {}), s.begin() + 4); }},
      {"a declared decoded size one less",
       [](Bytes& s) { std::ranges::copy(block("", {le32(s, 4) - 1}, {}), s.begin() + 4); }},
      {"a payload of 0xFF: a literal run longer than the block",
       [](Bytes& s) { std::fill_n(s.begin() + 12, le32(s, 8), 0xFF); }}};
  for (const auto& [fault, change] : rows) {
    Bytes stream = good;
    change(stream);
    EXPECT_THROW(decompressAppleLz4(stream), MediaError) << fault;
  }
  // A 4-byte payload that claims to decode to 4 GiB - 1; a raw block larger than the input left.
  for (const Bytes& stream : {block("bv41", {0xFFFFFFFF, 4}, {0x10, 'a', 0x00, 0x00, 'b', 'v', '4', '$'}),
                              block("bv4-", {0x7FFFFFFF}, {1, 2, 3})})
    EXPECT_THROW(decompressAppleLz4(stream), MediaError);
}

}  // namespace
}  // namespace marlinax::media
