#include "media/Fragment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <plist/plist.h>

#include "codec/Cod.h"
#include "media/AppleLz4.h"
#include "media/BufferPool.h"
#include "media/Masks.h"
#include "media/MediaError.h"
#include "media/MediaTestImages.h"
#include "media/SegmentedJpeg.h"
#include "media/VEncode.h"

namespace marlinax::media {
namespace {

using testing::makeImage;
using testing::sampleOf;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::shared_ptr<FormatDescription> plainDescription(int width, int height,
                                                    std::map<std::string, PropertyValue> extensions = {}) {
  return std::make_shared<FormatDescription>(
      FormatDescription{.width = width, .height = height, .extensions = std::move(extensions)});
}

SampleBufferData smallFrame() {
  return {.duration = {1, 60},
          .presentationTime = {300, 60},
          .formatDescription = plainDescription(4, 2),
          .data = {0xFF, 0xD8, 0xFF, 0xD9}};
}

// The description of plainDescription(4, 2): JPEG subtype, width, height, and the Cod body of a
// record without keys for the extensions.
const Bytes kPlainDescription =
    concat({{0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0x04, 0x02}, codec::CodEncoder().encode(std::map<std::string, Bytes>{})});

// smallFrame(): a pack of five pieces: their lengths, then duration, presentation time, the
// invalid decode time, the description and the data.
const Bytes kSmallFrame = concat({{0x02, 0x03, 0x02, static_cast<std::uint8_t>(kPlainDescription.size()), 0x04},
                                  {0x01, 0x3C},
                                  {0xAC, 0x02, 0x3C},
                                  {0x00, 0x00},
                                  kPlainDescription,
                                  {0xFF, 0xD8, 0xFF, 0xD9}});

// The frame with a mask of the values 1, 2, 3... in every row (3 x 2: row stride 64).
Fragment fragmentOf(SampleBufferData frame, int width = 3, int height = 2) {
  Fragment fragment;
  fragment.storage = {
      std::make_shared<SampleBufferData>(std::move(frame)),
      std::make_shared<MaskPlane>(extractAlpha(*makeImage(width, height, [](int x, int) { return x + 1; })))};
  return fragment;
}

// A time is its value then its timescale as varints; a sample buffer a pack of five pieces; a
// description its subtype, size and extensions, each value a binary property list.
TEST(ByteForms, TimeSampleBufferAndFormatDescription) {
  EXPECT_EQ(serialize(platform::MediaTime{1, 60}), (Bytes{0x01, 0x3C}));
  EXPECT_EQ(serialize(platform::MediaTime::invalid()), (Bytes{0x00, 0x00}));
  EXPECT_EQ(serialize(platform::MediaTime{300, 1000000000}), (Bytes{0xAC, 0x02, 0x80, 0x94, 0xEB, 0xDC, 0x03}));
  EXPECT_EQ(serialize(platform::MediaTime{INT64_MAX, INT32_MAX}),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}));
  EXPECT_EQ(smallFrame().serialize(), kSmallFrame);

  const auto description = FormatDescription::jpeg(2400, 1280);
  std::map<std::string, Bytes> extensions;
  for (const auto& [key, value] : description->extensions) extensions[key] = binaryPropertyList(value);
  EXPECT_EQ(description->serialize(),
            concat({{0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0xE0, 0x12, 0x80, 0x0A}, codec::CodEncoder().encode(extensions)}));

  // Property lists of every value kind, as another reader reads them.
  const Bytes blob = {0, 1, 2, 0xFF};
  const std::pair<PropertyValue, plist_t> cases[] = {
      {std::int64_t{42}, plist_new_uint(42)},
      {2.5, plist_new_real(2.5)},
      {true, plist_new_bool(1)},
      {blob, plist_new_data(reinterpret_cast<const char*>(blob.data()), blob.size())},
      {std::string("Größe"), plist_new_string("Größe")},
      // Negative integers take the 8-byte form, which readers take as signed.
      {std::int64_t{-5}, plist_new_uint(static_cast<std::uint64_t>(-5))}};
  for (const auto& [value, expected] : cases) {
    const Bytes bplist = binaryPropertyList(value);
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bplist.data()), static_cast<std::uint32_t>(bplist.size()), &node);
    EXPECT_TRUE(node && plist_compare_node_value(node, expected)) << "kind " << value.index();  // type and value
    plist_free(node);
    plist_free(expected);
  }
}

// What has no byte form, and a malformed image, fail the frame instead of stopping the program.
TEST(ByteForms, ValuesWithoutAByteFormAndMalformedImagesFailTheFrame) {
  for (const platform::MediaTime time : {platform::MediaTime{-1, 60}, {1, -60}, {INT64_MIN, 1}})
    EXPECT_THROW(serialize(time), MediaError) << time.value;
  EXPECT_THROW(binaryPropertyList(std::string("\xC3\x28")), MediaError);  // broken UTF-8
  EXPECT_THROW(binaryPropertyList(std::string("a\0b", 3)), MediaError);
  EXPECT_THROW(plainDescription(-1, 2)->serialize(), MediaError);
  // A broken frame fails alone and in a fragment with or without its mask.
  const auto brokenName = plainDescription(4, 2, {{"Name", std::string("\xFF")}});
  const std::function<void(SampleBufferData&)> brokenFrames[] = {
      [](auto& f) { f.presentationTime.value = -5; }, [](auto& f) { f.duration.timescale = -1; },
      [&](auto& f) { f.formatDescription = brokenName; }, [](auto& f) { f.formatDescription.reset(); },
      [](auto& f) { f.data.clear(); }};
  for (std::size_t i = 0; i < std::size(brokenFrames); ++i) {
    SampleBufferData frame = smallFrame();
    brokenFrames[i](frame);
    Fragment fragment = fragmentOf(frame);
    EXPECT_THROW(frame.serialize(), MediaError) << "frame " << i;
    EXPECT_THROW(fragment.serialize(), MediaError) << "frame " << i;
    fragment.skipMask = true;
    EXPECT_THROW(fragment.serialize(), MediaError) << "frame " << i;
  }
  const std::function<void(Fragment&)> brokenFragments[] = {
      [](auto& f) { f.storage.mask.reset(); }, [](auto& f) { f.storage.frame.reset(); }, [](auto& f) { f = {}; },
      // A plane with fewer bytes than its geometry.
      [](auto& f) { f.storage.mask = std::make_shared<MaskPlane>(3, 2, 64, Bytes(127)); }};
  for (std::size_t i = 0; i < std::size(brokenFragments); ++i) {
    Fragment fragment = fragmentOf(smallFrame());
    brokenFragments[i](fragment);
    EXPECT_THROW(fragment.serialize(), MediaError) << "fragment " << i;
  }
  // Malformed images fail the frame too.
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

// The header (width, height, row stride), the has-mask byte, then either the sample buffer alone
// or a pack of the sample buffer and the compressed mask.
TEST(FragmentForm, HeaderHasMaskByteThenTheSampleBufferAndTheMask) {
  const std::pair<Fragment, Bytes> cases[] = {
      {fragmentOf(smallFrame()), {0x03, 0x02, 0x40}},
      {fragmentOf(smallFrame(), 2400, 1280), {0xE0, 0x12, 0x80, 0x0A, 0x80, 0x13}}};
  for (auto [fragment, header] : cases) {
    const Bytes mask = compressAppleLz4(fragment.storage.mask->bytes);
    Bytes lengths;
    codec::appendVarint(lengths, kSmallFrame.size());
    codec::appendVarint(lengths, mask.size());
    EXPECT_EQ(fragment.serialize(), concat({header, {0x01}, lengths, kSmallFrame, mask}));
    fragment.skipMask = true;
    EXPECT_EQ(fragment.serialize(), concat({header, {0x00}, kSmallFrame}));
  }
}

// The fourth byte of every pixel, from rows with or without padding, into rows rounded up to
// 64 bytes whose padding is zero (the headset hashes whole rows). A frame the capture made opaque
// is not read for its mask: its fragment carries the plane an extraction would give, one plane
// shared by every frame of that size; a frame with real alpha is read, into a plane of its own.
TEST(MaskPlane, TakesTheFourthByteOfEveryPixelAndZeroPaddingOrSharesTheOpaquePlane) {
  struct Case {
    int width, height, extraStride, stride;
    int (*alpha)(int, int);
  };
  const Case cases[] = {{2400, 1280, 0, 2432, testing::opaque},  // an opaque cast frame
                        {64, 3, 0, 64, [](int x, int) { return x; }},
                        // Odd width (no SIMD-friendly multiple) and source rows with 12 bytes of padding.
                        {101, 33, 12, 128, [](int x, int y) { return (x * 7 + y * 13) & 0xFF; }}};
  auto jpegs = std::make_shared<BufferPool>(2), masks = std::make_shared<BufferPool>(2);
  SegmentedJpegEncoder encoder(4);
  for (const auto& c : cases) {
    const auto image = makeImage(c.width, c.height, c.alpha, c.extraStride);
    Bytes expected(static_cast<std::size_t>(c.stride) * c.height, 0);
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) expected[static_cast<std::size_t>(y) * c.stride + x] = c.alpha(x, y);
    const MaskPlane plane = extractAlpha(*image);
    EXPECT_EQ(std::tuple(plane.width, plane.height, plane.stride, plane.bytes),
              std::tuple(c.width, c.height, c.stride, expected));
    platform::SampleBuffer sample = sampleOf(image);
    sample.opaque = c.alpha == testing::opaque;
    const Fragment first = Fragment::make(sample, &encoder, jpegs, masks);
    const Fragment second = Fragment::make(sample, &encoder, jpegs, masks);
    EXPECT_EQ(
        std::tuple(first.storage.mask->stride, first.storage.mask->bytes, first.storage.mask == second.storage.mask),
        std::tuple(c.stride, expected, sample.opaque));
    EXPECT_TRUE(!sample.opaque || masks->allocations() == 0) << "an opaque frame read into a pooled plane";
  }
}

TEST(VEncode, ProducesAFullQualityJpegOfTheFrame) {
  auto image = makeImage(320, 200, [](int x, int) { return x & 1 ? 0x00 : 0xFF; });
  // A block of noise: lower quality or subsampled chroma lose most of it.
  const Bytes noise = testing::randomBytes(64 * 64 * 4, 5);
  for (int y = 0; y < 64; ++y) std::copy_n(noise.begin() + y * 256, 256, image->row(100 + y) + 4 * 200);
  const SampleBufferData frame = VEncode::encode(sampleOf(image, {7, 60}, {1, 60}));
  const Bytes decoded = testing::decodeJpeg(frame.data);
  ASSERT_EQ(decoded.size(), std::size_t{320 * 200 * 4});
  // Quality 100 with full chroma keeps smooth content within rounding (the rows above the
  // noise) and noise close (quality 92 already gives a mean of about 5, subsampled chroma about
  // 46); alternating alpha in the source must not leak into the colours.
  const auto errors = [&](int x0, int y0, int x1, int y1) {
    std::vector<int> out;
    for (int y = y0; y < y1; ++y)
      for (int x = 4 * x0; x < 4 * x1; ++x)
        if (x % 4 != 3) out.push_back(std::abs(image->row(y)[x] - decoded[y * 320 * 4 + x]));
    return out;
  };
  const std::vector<int> smooth = errors(0, 0, 320, 90), noisy = errors(200, 100, 264, 164);
  EXPECT_LE(std::ranges::max(smooth), 6);
  EXPECT_LT(std::reduce(smooth.begin(), smooth.end(), 0.0) / smooth.size(), 1.0);
  EXPECT_LT(std::reduce(noisy.begin(), noisy.end(), 0.0) / noisy.size(), 2.0);
  // The description and decode time are read back by the fragment reader's tests.
  EXPECT_EQ(std::pair(frame.presentationTime, frame.duration),
            (std::pair<platform::MediaTime, platform::MediaTime>{{7, 60}, {1, 60}}));
}

// Frames of different sizes built at once on several threads come out as when built alone, and the
// mask table they pass through stays consistent: only the first image's mask is ever confirmed, so
// no frame of another image (each a different mask) may leave its mask out.
TEST(Fragment, ConcurrentFramesAndMaskConfirmations) {
  std::vector<platform::SampleBuffer> samples;
  std::vector<Bytes> expected;
  for (int i = 0; i < 4; ++i) {
    samples.push_back(sampleOf(makeImage(
                                   200 + 8 * i, 120, [i](int x, int y) { return (x + y * i) & 0xFF; }, 0, i),
                               {i, 60}));
    expected.push_back(Fragment::make(samples.back()).serialize());
  }
  const Sha256Digest confirmed = sha256(Fragment::make(samples[0]).storage.mask->bytes);
  Masks masks;
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0, i = t; round < 24; ++round, i = (i + 1) % 4) {  // every thread walks all images
        Fragment fragment = Fragment::make(samples[i]);
        mismatches[t] += fragment.serialize() != expected[i];
        masks.process(fragment, t % 2);
        mismatches[t] += i != 0 && fragment.skipMask;
        masks.acknowledge(confirmed, t % 2);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace marlinax::media
