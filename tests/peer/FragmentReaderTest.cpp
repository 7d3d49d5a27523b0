// The test peer's reading of fragments, against fragments the server's media
// code makes: what the headset would see in frames and previews.

#include <gtest/gtest.h>

#include "media/Fragment.h"
#include "peer/FragmentReader.h"
#include "platform/Frame.h"

namespace marlinax::peer {
namespace {

platform::SampleBuffer frame(int width, int height) {
  auto image = std::make_shared<platform::Image>();
  image->width = width;
  image->height = height;
  image->stride = width * 4;
  image->pixels.resize(static_cast<std::size_t>(image->stride) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = image->row(y) + 4 * x;
      pixel[0] = static_cast<std::uint8_t>(x);
      pixel[1] = static_cast<std::uint8_t>(y);
      pixel[2] = 0x80;
      pixel[3] = static_cast<std::uint8_t>((x + y) % 3 == 0 ? 0x00 : 0xFF);  // a mask worth checking
    }
  platform::SampleBuffer sample;
  sample.image = image;
  sample.presentationTime = {1, 60};
  sample.duration = {1, 60};
  return sample;
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
  ASSERT_GE(withMask.sampleBuffer.data.size(), 4u);
  EXPECT_EQ(withMask.sampleBuffer.data[0], 0xFF);  // JPEG start of image
  EXPECT_EQ(withMask.sampleBuffer.data[1], 0xD8);
  EXPECT_EQ(decompressMask(withMask), fragment.storage.mask->bytes);

  fragment.skipMask = true;
  ReadFragment without = readFragment(fragment.serialize());
  EXPECT_FALSE(without.hasMask);
  EXPECT_EQ(without.maskStride, withMask.maskStride);
  EXPECT_EQ(without.sampleBuffer.data, withMask.sampleBuffer.data);
  EXPECT_THROW(decompressMask(without), FragmentFormatError);
}

TEST(FragmentReader, RefusesMalformedFragments) {
  Bytes good = media::Fragment::make(frame(8, 8)).serialize();
  // Every strict prefix is cut off somewhere.
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, std::size_t{4}, good.size() / 2, good.size() - 1})
    EXPECT_ANY_THROW(readFragment(ByteView(good).first(length))) << length;
  Bytes badFlag = good;
  badFlag[3] = 0x02;  // after three one-byte varints (8, 8, stride)
  EXPECT_THROW(readFragment(badFlag), FragmentFormatError);
  // A header announcing the 2400 x 1280 plane of a cast frame, stride 2432.
  Bytes header{0xE0, 0x12, 0x80, 0x0A, 0x80, 0x13, 0x00};
  EXPECT_ANY_THROW(readFragment(header));  // no sample buffer follows
}

}  // namespace
}  // namespace marlinax::peer
