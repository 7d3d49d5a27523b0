#include "media/Fragment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include <turbojpeg.h>

#include "media/BufferPool.h"
#include "media/MediaError.h"
#include "media/MediaTestImages.h"
#include "media/SegmentedJpeg.h"
#include "media/VEncode.h"

namespace marlinax::media {
namespace {

using testing::makeImage;
using testing::sampleOf;

struct Decoded {
  int width = 0, height = 0, subsampling = -1;
  Bytes bgrx;
};

Decoded decodeJpeg(const Bytes& jpeg) {
  Decoded result;
  tjhandle handle = tjInitDecompress();
  int colorspace = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &result.width, &result.height, &result.subsampling,
                          &colorspace) == 0) {
    result.bgrx.resize(static_cast<std::size_t>(result.width) * result.height * 4);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), result.bgrx.data(), result.width, 0, result.height, TJPF_BGRX,
                      0) != 0)
      result.bgrx.clear();
  }
  tjDestroy(handle);
  return result;
}

struct Difference {
  int worst = 0;
  double mean = 0;
};

// Colour differences between the source and the decoded JPEG over a rectangle.
Difference colourDifference(const platform::Image& image, const Decoded& decoded, int x0, int y0, int x1, int y1) {
  Difference result;
  long total = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      for (int c = 0; c < 3; ++c) {
        const int original = image.row(y)[4 * x + c];
        const int back = decoded.bgrx[(static_cast<std::size_t>(y) * image.width + x) * 4 + c];
        result.worst = std::max(result.worst, std::abs(original - back));
        total += std::abs(original - back);
      }
  result.mean = static_cast<double>(total) / (3.0 * (x1 - x0) * (y1 - y0));
  return result;
}

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
    ASSERT_EQ(plane.width, c.width);
    ASSERT_EQ(plane.height, c.height);
    ASSERT_EQ(plane.stride, c.stride);
    ASSERT_EQ(plane.bytes.size(), static_cast<std::size_t>(c.stride) * c.height);
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
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      for (int c = 0; c < 3; ++c) image->row(100 + y)[4 * (200 + x) + c] = noise[(y * 64 + x) * 4 + c];
  const SampleBufferData frame = VEncode::encode(sampleOf(image, {7, 60}, {1, 60}));
  const Decoded decoded = decodeJpeg(frame.data);
  ASSERT_EQ(decoded.width, 320);
  ASSERT_EQ(decoded.height, 200);
  EXPECT_EQ(decoded.subsampling, TJSAMP_444);
  ASSERT_FALSE(decoded.bgrx.empty());
  // Quality 100 with full chroma keeps smooth content within rounding, and noise close;
  // alternating alpha in the source must not leak into the colours.
  const Difference smooth = colourDifference(*image, decoded, 0, 0, 320, 90);
  EXPECT_LE(smooth.worst, 6);
  EXPECT_LT(smooth.mean, 1.0);
  const Difference noisy = colourDifference(*image, decoded, 200, 100, 264, 164);
  EXPECT_LT(noisy.mean, 2.0);  // quality 92 already gives about 5
  // The description and decode time are read back by FragmentReaderTest.
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

TEST(Fragment, ConcurrentFramesAreBuiltCorrectlyAndIndependently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 6;
  std::vector<std::shared_ptr<platform::Image>> images;
  std::vector<Bytes> expectedJpeg;
  std::vector<Bytes> expectedMask;
  for (int i = 0; i < kThreads; ++i) {
    images.push_back(makeImage(
        200 + 8 * i, 120, [i](int x, int y) { return (x + y * i) & 0xFF; }, 0, i));
    const Fragment reference = Fragment::make(sampleOf(images.back()));
    expectedJpeg.push_back(reference.storage.frame->data);
    expectedMask.push_back(reference.storage.mask->bytes);
  }

  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Every thread walks all images, so different threads encode different sizes at once.
        const int i = (t + round) % kThreads;
        const Fragment fragment = Fragment::make(sampleOf(images[i], {round, 60}));
        if (fragment.storage.frame->data != expectedJpeg[i] || fragment.storage.mask->bytes != expectedMask[i] ||
            fragment.storage.frame->formatDescription->width != images[i]->width ||
            fragment.storage.frame->presentationTime.value != round)
          ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace marlinax::media
