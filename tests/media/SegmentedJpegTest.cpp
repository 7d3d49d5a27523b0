#include "media/SegmentedJpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "media/MediaTestImages.h"

namespace marlinax::media {
namespace {

TEST(SegmentLayout, SegmentsAreEqualRectanglesThatTileTheImage) {
  struct Case {
    int width, height, wanted;
    int perRow, mcus;
  };
  // 300 MCUs per row: 4 divides it. 125 = 5^3: 4, 3 and 2 do not, 1 does.
  // 240 MCUs (1917 pixels, the last column padded): 7 does not divide, 6 does.
  for (const Case c : {Case{2400, 1280, 4, 4, 75}, Case{1000, 64, 4, 1, 125}, Case{1917, 1083, 7, 6, 40},
                       Case{8, 8, 4, 1, 1}, Case{2400, 1280, 0, 1, 300}}) {
    const SegmentLayout layout = SegmentLayout::forImage(c.width, c.height, c.wanted);
    EXPECT_EQ(std::pair(layout.segmentsPerRow, layout.mcusPerSegment), std::pair(c.perRow, c.mcus)) << c.width;
    // Every pixel in exactly one segment.
    std::vector<int> covered(static_cast<std::size_t>(c.width) * c.height, 0);
    for (int i = 0; i < layout.segmentCount(); ++i) {
      const PixelRect r = layout.segmentRect(i);
      for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x) ++covered[static_cast<std::size_t>(y) * c.width + x];
    }
    EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), static_cast<long>(covered.size())) << c.width;
  }
}

// Paints a rectangle of noise (the worst case for JPEG) into the image.
PixelRect paintNoise(platform::Image& image, std::mt19937& random) {
  std::uniform_int_distribution<int> x(0, image.width - 1), y(0, image.height - 1);
  const int left = x(random), top = y(random);
  const PixelRect r{left, top, std::min(1 + x(random) / 4, image.width - left),
                    std::min(1 + y(random) / 4, image.height - top)};
  for (int row = r.y; row < r.y + r.height; ++row)
    std::generate_n(image.row(row) + 4 * r.x, 4 * r.width, [&] { return static_cast<std::uint8_t>(random()); });
  return r;
}

TEST(SegmentedJpegEncoder, ReusedSegmentsGiveTheBytesOfAWholeEncodeAndDecodeEverywhere) {
  // The frame size the headset gets, and odd sizes whose last MCU row and
  // column are padded, with row padding in the buffer.
  for (const auto& [width, height, extraStride, perRow] :
       {std::array{2400, 1280, 0, 4}, {203, 77, 12, 5}, {96, 40, 0, 1}}) {
    SCOPED_TRACE(width);
    SegmentedJpegEncoder encoder(perRow);
    auto image = testing::makeImage(width, height, testing::opaque, extraStride);
    std::mt19937 random(static_cast<std::uint32_t>(width));
    for (int frame = 0; frame < 6; ++frame) {
      SCOPED_TRACE(frame);
      // Every frame is a new image, as captures are.
      image = std::make_shared<platform::Image>(*image);
      std::vector<PixelRect> damage;
      for (int k = 0; k < frame % 3; ++k) damage.push_back(paintNoise(*image, random));
      // Damage as reported, none at all (compare everything), or an
      // over-wide report (some segments compared and found equal).
      std::optional<std::span<const PixelRect>> hint;
      PixelRect everything{-10, -10, width + 20, height + 20};
      if (frame % 2 == 1) hint = damage;
      if (frame == 4) hint = std::span<const PixelRect>(&everything, 1);
      const Bytes& jpeg = encoder.encode(image, hint);
      ASSERT_EQ(jpeg, SegmentedJpegEncoder::encodeWhole(*image, perRow));

      ASSERT_EQ(testing::decodeJpeg(jpeg).size(), static_cast<std::size_t>(width) * height * 4);
      // Restart markers, one between every two segments, count 0 to 7 and round again.
      int markers = 0, misnumbered = 0;
      for (auto at = std::ranges::search(jpeg, Bytes{0xFF, 0xDA}).begin(); at + 1 < jpeg.end(); ++at)
        if (at[0] == 0xFF && (at[1] & 0xF8) == 0xD0) misnumbered += at[1] != 0xD0 + markers++ % 8;
      EXPECT_EQ(std::pair(markers, misnumbered),
                std::pair(SegmentLayout::forImage(width, height, perRow).segmentCount() - 1, 0));
    }
  }
}

TEST(SegmentedJpegEncoder, CompressesOnlySegmentsWhosePixelsChanged) {
  SegmentedJpegEncoder encoder(4);
  auto image = testing::makeImage(2400, 1280, testing::opaque);
  encoder.encode(image);
  EXPECT_EQ(encoder.segmentsEncoded(), 160 * 4);

  // Unchanged: nothing to compress, with or without damage reported.
  encoder.encode(std::make_shared<platform::Image>(*image));
  EXPECT_EQ(encoder.segmentsEncoded(), 0);

  image = std::make_shared<platform::Image>(*image);
  // A 600 x 300 window area at (700, 100) changes: columns 1 and 2 of 600
  // pixels (700..1299), rows 12..49 of 8 pixels (100..399): 2 x 38 segments.
  for (int y = 100; y < 400; ++y)
    for (int x = 700; x < 1300; ++x) image->row(y)[4 * x] ^= 0x40;
  const PixelRect area{700, 100, 600, 300};
  const Bytes& jpeg = encoder.encode(image, std::span<const PixelRect>(&area, 1));
  EXPECT_EQ(encoder.segmentsEncoded(), 2 * 38);
  EXPECT_EQ(jpeg, SegmentedJpegEncoder::encodeWhole(*image, 4));

  // Damage over pixels that did not really change costs a comparison only.
  encoder.encode(std::make_shared<platform::Image>(*image), std::span<const PixelRect>(&area, 1));
  EXPECT_EQ(encoder.segmentsEncoded(), 0);

  // Another size starts over with a whole compression.
  auto smaller = testing::makeImage(1200, 640, testing::opaque);
  EXPECT_EQ(encoder.encode(smaller), SegmentedJpegEncoder::encodeWhole(*smaller, 4));
  EXPECT_EQ(encoder.segmentsEncoded(), 80 * 3);  // 150 MCUs per row: 4 does not divide it, 3 does
}

}  // namespace
}  // namespace marlinax::media
