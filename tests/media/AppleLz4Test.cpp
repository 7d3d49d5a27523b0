#include "media/AppleLz4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <lz4.h>

#include "media/MediaError.h"
#include "media/MediaTestImages.h"

namespace marlinax::media {
namespace {

using testing::randomBytes;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t le32(const Bytes& data, std::size_t at) {
  return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
}

void putLe32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

struct BlockCounts {
  int compressed = 0;
  int raw = 0;
};

// Walks the stream with a parser of its own and decodes every compressed block alone
// with plain LZ4_decompress_safe: the headset must be able to read each block without
// the blocks before it. Returns the block counts; fails the test on any deviation.
BlockCounts checkBlocks(const Bytes& stream, const Bytes& original) {
  BlockCounts counts;
  Bytes decoded;
  std::size_t pos = 0;
  for (;;) {
    EXPECT_LE(pos + 4, stream.size()) << "stream ends without end marker";
    if (pos + 4 > stream.size()) return counts;
    const std::string magic(stream.begin() + pos, stream.begin() + pos + 4);
    pos += 4;
    if (magic == "bv4$") break;
    if (magic == "bv4-") {
      const std::uint32_t size = le32(stream, pos);
      pos += 4;
      EXPECT_LE(size, kAppleLz4BlockSize);
      decoded.insert(decoded.end(), stream.begin() + pos, stream.begin() + pos + size);
      pos += size;
      ++counts.raw;
      continue;
    }
    EXPECT_EQ(magic, "bv41");
    if (magic != "bv41") return counts;
    const std::uint32_t decodedSize = le32(stream, pos);
    const std::uint32_t encodedSize = le32(stream, pos + 4);
    pos += 8;
    EXPECT_LE(decodedSize, kAppleLz4BlockSize);
    EXPECT_LT(encodedSize, decodedSize) << "a block that does not shrink belongs in a raw block";
    Bytes block(decodedSize);
    const int produced =
        LZ4_decompress_safe(reinterpret_cast<const char*>(stream.data() + pos), reinterpret_cast<char*>(block.data()),
                            static_cast<int>(encodedSize), static_cast<int>(decodedSize));
    EXPECT_EQ(produced, static_cast<int>(decodedSize));
    decoded.insert(decoded.end(), block.begin(), block.end());
    pos += encodedSize;
    ++counts.compressed;
  }
  EXPECT_EQ(pos, stream.size()) << "bytes after the end marker";
  EXPECT_TRUE(decoded == original) << "blocks do not concatenate to the input";
  return counts;
}

TEST(AppleLz4, SmallInputsByteForByte) {
  EXPECT_EQ(compressAppleLz4({}), bytesOf("bv4$"));
  EXPECT_TRUE(decompressAppleLz4(bytesOf("bv4$")).empty());
  const Bytes expected = {'b', 'v', '4', '-', 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 'b', 'v', '4', '$'};
  EXPECT_EQ(compressAppleLz4(bytesOf("hello")), expected);
  EXPECT_EQ(decompressAppleLz4(expected), bytesOf("hello"));
}

// Each block is compressed when that makes it smaller and stored raw otherwise.
TEST(AppleLz4, RoundTripsPickingTheBlockKindPerBlock) {
  const std::size_t block = kAppleLz4BlockSize;
  auto runs = [](std::size_t size) {
    Bytes input(size);
    for (std::size_t i = 0; i < size; ++i) input[i] = static_cast<std::uint8_t>((i / 300) % 7);
    return input;
  };
  Bytes mixed(block, 0x00);
  const Bytes noise = randomBytes(block, 3);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.insert(mixed.end(), 1000, 0x42);
  struct Case {
    Bytes input;
    int compressed;
    int raw;  // -1: either kind
  };
  std::vector<Case> cases;
  for (std::size_t size : {std::size_t{1}, std::size_t{100}, block - 1, block, block + 1, 2 * block - 1, 2 * block,
                           2 * block + 1, 5 * block + 17})
    cases.push_back({runs(size), -1, static_cast<int>((size + block - 1) / block)});
  cases.push_back({randomBytes(3 * block + 1000, 7), 0, 4});
  cases.push_back(
      {Bytes(2432 * 1280, 0xFF), static_cast<int>((2432 * 1280 + block - 1) / block), 0});  // an opaque cast mask
  cases.push_back({mixed, 2, 1});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size());
    const Bytes stream = compressAppleLz4(c.input);
    EXPECT_EQ(decompressAppleLz4(stream), c.input);
    const BlockCounts counts = checkBlocks(stream, c.input);
    if (c.compressed < 0) {
      EXPECT_EQ(counts.compressed + counts.raw, c.raw);
    } else {
      EXPECT_EQ(counts.compressed, c.compressed);
      EXPECT_EQ(counts.raw, c.raw);
    }
  }
  EXPECT_LT(compressAppleLz4(cases[10].input).size(), cases[10].input.size() / 100);  // the opaque mask
}

// Streams from other encoders may refer back into earlier blocks; the decoder reads them.
TEST(AppleLz4, DecoderFollowsMatchesIntoEarlierBlocks) {
  const Bytes first = randomBytes(4000, 11);
  const Bytes second(first.begin(), first.begin() + 3000);  // compressible only against `first`
  LZ4_stream_t* lz = LZ4_createStream();
  Bytes stream;
  Bytes scratch(LZ4_compressBound(4000));
  for (const Bytes* part : {&first, &second}) {
    const int encoded = LZ4_compress_fast_continue(lz, reinterpret_cast<const char*>(part->data()),
                                                   reinterpret_cast<char*>(scratch.data()),
                                                   static_cast<int>(part->size()), static_cast<int>(scratch.size()), 1);
    ASSERT_GT(encoded, 0);
    const Bytes magic = bytesOf("bv41");
    stream.insert(stream.end(), magic.begin(), magic.end());
    putLe32(stream, static_cast<std::uint32_t>(part->size()));
    putLe32(stream, static_cast<std::uint32_t>(encoded));
    stream.insert(stream.end(), scratch.begin(), scratch.begin() + encoded);
  }
  LZ4_freeStream(lz);
  const Bytes end = bytesOf("bv4$");
  stream.insert(stream.end(), end.begin(), end.end());

  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(decompressAppleLz4(stream), expected);
}

TEST(AppleLz4, MalformedStreamsAreRejected) {
  Bytes input(200000);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i % 251 < 100 ? 0 : i);
  const Bytes good = compressAppleLz4(input);
  ASSERT_EQ(decompressAppleLz4(good), input);

  // Every proper prefix lacks something: a header, a payload or the end marker.
  for (std::size_t length = 0; length < good.size(); length += (length < 64 ? 1 : 97))
    EXPECT_THROW(decompressAppleLz4(ByteView(good).first(length)), MediaError) << length;

  Bytes trailing = good;
  trailing.push_back(0);
  EXPECT_THROW(decompressAppleLz4(trailing), MediaError);

  Bytes unknownMagic = good;
  unknownMagic[3] = 'x';
  EXPECT_THROW(decompressAppleLz4(unknownMagic), MediaError);

  ASSERT_EQ(std::string(good.begin(), good.begin() + 4), "bv41");
  Bytes longer = good;  // declared decoded size one more than the block gives
  longer[4] = static_cast<std::uint8_t>(longer[4] + 1);
  EXPECT_THROW(decompressAppleLz4(longer), MediaError);
  Bytes shorter = good;
  shorter[4] = static_cast<std::uint8_t>(shorter[4] - 1);
  EXPECT_THROW(decompressAppleLz4(shorter), MediaError);

  Bytes corrupt = good;  // a payload of 0xFF: a literal run longer than the block
  const std::uint32_t encoded = le32(good, 8);
  for (std::size_t i = 12; i < 12 + encoded; ++i) corrupt[i] = 0xFF;
  EXPECT_THROW(decompressAppleLz4(corrupt), MediaError);
}

TEST(AppleLz4, DeclaredSizesCannotForceLargeAllocations) {
  // A 4-byte LZ4 payload that claims to decode to 4 GiB - 1.
  Bytes huge = bytesOf("bv41");
  putLe32(huge, 0xFFFFFFFF);
  putLe32(huge, 4);
  huge.insert(huge.end(), {0x10, 'a', 0x00, 0x00});
  const Bytes end = bytesOf("bv4$");
  huge.insert(huge.end(), end.begin(), end.end());
  EXPECT_THROW(decompressAppleLz4(huge), MediaError);

  // A raw block larger than the input that is left.
  Bytes raw = bytesOf("bv4-");
  putLe32(raw, 0x7FFFFFFF);
  raw.insert(raw.end(), {1, 2, 3});
  EXPECT_THROW(decompressAppleLz4(raw), MediaError);

  // The caller's output limit holds for valid streams too.
  const Bytes ones(300000, 0xFF);
  const Bytes stream = compressAppleLz4(ones);
  EXPECT_THROW(decompressAppleLz4(stream, ones.size() - 1), MediaError);
  EXPECT_EQ(decompressAppleLz4(stream, ones.size()), ones);
  const Bytes raw10 = compressAppleLz4(randomBytes(10, 1));
  EXPECT_THROW(decompressAppleLz4(raw10, 9), MediaError);
}

}  // namespace
}  // namespace marlinax::media
