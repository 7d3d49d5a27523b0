#include "media/Fragment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "media/BufferPool.h"
#include "media/MediaError.h"
#include "media/MediaTestImages.h"
#include "media/SegmentedJpeg.h"
#include "media/VEncode.h"

namespace marlinax::media {
namespace {

using testing::makeImage;
using testing::sampleOf;

// The fourth byte of every pixel, from rows with or without padding, into rows rounded up to
// 64 bytes whose padding is zero (the headset hashes whole rows).
TEST(MaskPlane, TakesTheFourthByteOfEveryPixelAndZeroPadding) {
  struct Case {
    int width, height, extraStride, stride;
    int (*alpha)(int, int);
  };
  const Case cases[] = {
      {2400, 1280, 0, 2432, testing::opaque},  // an opaque cast frame
      {64, 3, 0, 64, [](int x, int) { return x; }},
      // Odd width (no SIMD-friendly multiple) and source rows with 12 bytes of padding.
      {101, 33, 12, 128, [](int x, int y) { return (x * 7 + y * 13) & 0xFF; }},
  };
  for (const auto& c : cases) {
    const MaskPlane plane = extractAlpha(*makeImage(c.width, c.height, c.alpha, c.extraStride));
    ASSERT_EQ(std::tuple(plane.width, plane.height, plane.stride, plane.bytes.size()),
              std::tuple(c.width, c.height, c.stride, static_cast<std::size_t>(c.stride) * c.height));
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.stride; ++x)
        ASSERT_EQ(plane.bytes[static_cast<std::size_t>(y) * c.stride + x], x < c.width ? c.alpha(x, y) : 0)
            << x << "," << y;
  }
}

TEST(VEncode, ProducesAFullQualityJpegOfTheFrame) {
  auto image = makeImage(320, 200, [](int x, int) { return x & 1 ? 0x00 : 0xFF; });
  // A block of noise: lower quality or subsampled chroma lose most of it.
  const Bytes noise = testing::randomBytes(64 * 64 * 4, 5);
  for (int y = 0; y < 64; ++y) std::copy_n(noise.begin() + y * 256, 256, image->row(100 + y) + 4 * 200);
  const SampleBufferData frame = VEncode::encode(sampleOf(image, {7, 60}, {1, 60}));
  const testing::DecodedJpeg decoded = testing::decodeJpeg(frame.data);
  ASSERT_EQ(std::tuple(decoded.width, decoded.height, decoded.subsampling), std::tuple(320, 200, TJSAMP_444));
  ASSERT_FALSE(decoded.bgrx.empty());
  // Quality 100 with full chroma keeps smooth content within rounding (the rows above the
  // noise) and noise close (quality 92 already gives a mean of about 5); alternating alpha in
  // the source must not leak into the colours.
  const auto difference = [&](int x0, int y0, int x1, int y1) {
    int worst = 0;
    double total = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = 4 * x0; x < 4 * x1; ++x)
        if (x % 4 != 3) {
          const int error = std::abs(image->row(y)[x] - decoded.bgrx[y * 320 * 4 + x]);
          worst = std::max(worst, error);
          total += error;
        }
    return std::pair(worst, total / (3.0 * (x1 - x0) * (y1 - y0)));
  };
  const auto [worst, mean] = difference(0, 0, 320, 90);
  EXPECT_LE(worst, 6);
  EXPECT_LT(mean, 1.0);
  EXPECT_LT(difference(200, 100, 264, 164).second, 2.0);
  // The description and decode time are read back by the fragment reader's tests.
  EXPECT_EQ(frame.presentationTime, (platform::MediaTime{7, 60}));
  EXPECT_EQ(frame.duration, (platform::MediaTime{1, 60}));
}

TEST(Fragment, MalformedSamplesFailTheFrame) {
  EXPECT_THROW(Fragment::make(platform::SampleBuffer{}), MediaError);  // status-only sample
  const std::function<void(platform::Image&)> broken[] = {
      [](auto& image) { image = platform::Image{}; }, [](auto& image) { image.pixels.pop_back(); },
      [](auto& image) { image.stride = 39; },  // less than 4 bytes per pixel
      [](auto& image) { image.height = -10; }};
  for (std::size_t i = 0; i < std::size(broken); ++i) {
    auto image = makeImage(10, 10, testing::opaque);
    broken[i](*image);
    EXPECT_THROW(Fragment::make(sampleOf(image)), MediaError) << i;
    EXPECT_THROW(VEncode::encode(sampleOf(image)), MediaError) << i;
    EXPECT_THROW(extractAlpha(*image), MediaError) << i;
  }
  // The last row needs only its pixels, not its padding.
  auto tight = makeImage(10, 10, testing::opaque, 8);
  tight->pixels.resize(tight->pixels.size() - 8);
  EXPECT_NO_THROW(Fragment::make(sampleOf(tight)));
}

// A capture that made its frame opaque is not read for its mask: the fragment
// carries the plane an extraction would give (padding zero), one plane shared by
// every frame of that size, while a frame with real alpha is still read.
TEST(Fragment, OpaqueFramesShareOneMaskPlaneWithTheExtractedBytes) {
  auto jpegs = std::make_shared<BufferPool>(2), masks = std::make_shared<BufferPool>(2);
  SegmentedJpegEncoder encoder(4);
  auto opaque = makeImage(100, 30, testing::opaque);
  platform::SampleBuffer sample = sampleOf(opaque);
  sample.opaque = true;
  const Fragment first = Fragment::make(sample, &encoder, jpegs, masks);
  const Fragment second = Fragment::make(sample, &encoder, jpegs, masks);
  EXPECT_EQ(first.storage.mask->bytes, extractAlpha(*opaque).bytes);
  EXPECT_EQ(first.storage.mask->stride, 128);
  EXPECT_EQ(first.storage.mask.get(), second.storage.mask.get());
  EXPECT_EQ(masks->allocations(), 0u);

  auto translucent = makeImage(100, 30, [](int x, int) { return x & 0xFF; });
  const Fragment read = Fragment::make(sampleOf(translucent), &encoder, jpegs, masks);
  EXPECT_EQ(read.storage.mask->bytes, extractAlpha(*translucent).bytes);
}

// Frames of different sizes built at once on several threads come out as when built alone.
TEST(Fragment, ConcurrentFramesAreBuiltCorrectlyAndIndependently) {
  constexpr int kThreads = 4, kRounds = 6;
  std::vector<std::shared_ptr<platform::Image>> images;
  std::vector<Bytes> expected;
  for (int i = 0; i < kThreads; ++i) {
    images.push_back(makeImage(
        200 + 8 * i, 120, [i](int x, int y) { return (x + y * i) & 0xFF; }, 0, i));
    expected.push_back(Fragment::make(sampleOf(images.back(), {i, 60})).serialize());
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const int i = (t + round) % kThreads;  // every thread walks all images
        if (Fragment::make(sampleOf(images[i], {i, 60})).serialize() != expected[i]) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

}  // namespace
}  // namespace marlinax::media
