// The test peer's reading of fragments, against fragments the server's media
// code makes: what the headset would see in frames and previews.

#include "peer/FragmentReader.h"

#include <gtest/gtest.h>

#include "media/Fragment.h"
#include "media/MediaTestImages.h"

namespace marlinax::peer {
namespace {

// A frame whose alpha is a mask worth checking.
platform::SampleBuffer frame(int width, int height) {
  return media::testing::sampleOf(
      media::testing::makeImage(width, height, [](int x, int y) { return (x + y) % 3 ? 0xFF : 0; }));
}

TEST(FragmentReader, ReadsFragmentsWithAndWithoutTheirMask) {
  media::Fragment fragment = media::Fragment::make(frame(37, 11));
  ReadFragment withMask = readFragment(fragment.serialize());
  EXPECT_TRUE(withMask.hasMask);
  EXPECT_EQ(withMask.maskWidth, 37u);
  EXPECT_EQ(withMask.maskHeight, 11u);
  EXPECT_EQ(withMask.maskStride, static_cast<std::uint64_t>(fragment.storage.mask->stride));
  EXPECT_EQ(withMask.sampleBuffer.presentationTime.value, 1);
  EXPECT_EQ(withMask.sampleBuffer.presentationTime.timescale, 60);
  EXPECT_EQ(withMask.sampleBuffer.decodeTime.timescale, 0);
  EXPECT_EQ(withMask.sampleBuffer.formatDescription.mediaSubtype, 0x6A706567u);
  EXPECT_EQ(withMask.sampleBuffer.formatDescription.width, 37u);
  EXPECT_EQ(withMask.sampleBuffer.formatDescription.height, 11u);
  EXPECT_EQ(withMask.sampleBuffer.data, fragment.storage.frame->data);
  EXPECT_EQ(decompressMask(withMask), fragment.storage.mask->bytes);

  fragment.skipMask = true;
  ReadFragment without = readFragment(fragment.serialize());
  EXPECT_FALSE(without.hasMask);
  EXPECT_EQ(without.maskStride, withMask.maskStride);
  EXPECT_EQ(without.sampleBuffer.data, withMask.sampleBuffer.data);
  EXPECT_THROW(decompressMask(without), FragmentFormatError);
}

TEST(FragmentReader, RefusesMalformedFragments) {
  media::Fragment fragment = media::Fragment::make(frame(8, 8));
  const Bytes good = fragment.serialize();
  fragment.skipMask = true;
  const Bytes unmasked = fragment.serialize();
  auto withFlag = [](Bytes bytes, std::uint8_t flag) {
    bytes[3] = flag;  // after three one-byte varints (8, 8, stride 64)
    return bytes;
  };
  auto prefix = [](const Bytes& bytes, std::size_t length) { return Bytes(bytes.begin(), bytes.begin() + length); };
  const struct {
    const char* row;
    Bytes bytes;
  } rows[] = {
      {"empty", {}},
      {"cut in the header", prefix(good, 2)},
      {"cut after the has-mask byte", prefix(good, 4)},
      {"cut halfway", prefix(good, good.size() / 2)},
      {"last byte missing", prefix(good, good.size() - 1)},
      {"has-mask byte 2 before a masked body", withFlag(good, 0x02)},
      // Would read as a well-formed fragment without its mask if only 00 and 01 were not enforced.
      {"has-mask byte 2 before an unmasked body", withFlag(unmasked, 0x02)},
      {"has-mask byte FF before an unmasked body", withFlag(unmasked, 0xFF)},
      // The 2400 x 1280 plane of a cast frame, stride 2432, and no sample buffer after it.
      {"header only", {0xE0, 0x12, 0x80, 0x0A, 0x80, 0x13, 0x00}},
  };
  ASSERT_EQ(unmasked[3], 0x00);
  EXPECT_NO_THROW(readFragment(unmasked));
  for (const auto& r : rows) EXPECT_THROW(readFragment(r.bytes), FragmentFormatError) << r.row;
}

}  // namespace
}  // namespace marlinax::peer
