#include <gtest/gtest.h>

#include <map>
#include <string>

#include <plist/plist.h>

#include "codec/Cod.h"
#include "media/AppleLz4.h"
#include "media/Fragment.h"
#include "media/MediaError.h"
#include "media/MediaTestImages.h"

namespace marlinax::media {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::shared_ptr<FormatDescription> plainDescription(int width, int height) {
  return std::make_shared<FormatDescription>(FormatDescription{.width = width, .height = height, .extensions = {}});
}

SampleBufferData smallFrame() {
  return {.duration = {1, 60},
          .presentationTime = {300, 60},
          .formatDescription = plainDescription(4, 2),
          .data = {0xFF, 0xD8, 0xFF, 0xD9}};
}

// The description of plainDescription(4, 2): JPEG subtype, width, height, and the Cod body of a
// record without keys for the extensions.
Bytes plainDescriptionBytes() {
  return concat(
      {{0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0x04, 0x02}, codec::CodEncoder().encode(std::map<std::string, Bytes>{})});
}

// A pack of five pieces: their lengths, then duration, presentation time, the invalid decode
// time, the description and the data.
Bytes smallFrameBytes() {
  return concat({{0x02, 0x03, 0x02, static_cast<std::uint8_t>(plainDescriptionBytes().size()), 0x04},
                 {0x01, 0x3C},
                 {0xAC, 0x02, 0x3C},
                 {0x00, 0x00},
                 plainDescriptionBytes(),
                 {0xFF, 0xD8, 0xFF, 0xD9}});
}

// A 3 x 2 mask (row stride 64) of the values 1, 2, 3 in every row.
Fragment fragmentOf(SampleBufferData frame) {
  Fragment fragment;
  fragment.storage.frame = std::make_shared<SampleBufferData>(std::move(frame));
  fragment.storage.mask =
      std::make_shared<MaskPlane>(extractAlpha(*testing::makeImage(3, 2, [](int x, int) { return x + 1; })));
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
  EXPECT_EQ(smallFrame().serialize(), smallFrameBytes());
  EXPECT_EQ(plainDescription(4, 2)->serialize(), plainDescriptionBytes());

  const auto description = FormatDescription::jpeg(2400, 1280);
  const Bytes bytes = description->serialize();
  const Bytes head = {0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0xE0, 0x12, 0x80, 0x0A};
  ASSERT_GT(bytes.size(), head.size());
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + head.size()), head);
  std::map<std::string, Bytes> expected;
  for (const auto& [key, value] : description->extensions) expected[key] = binaryPropertyList(value);
  EXPECT_EQ((codec::CodDecoder().decode<std::map<std::string, Bytes>>(ByteView(bytes).subspan(head.size()))), expected);
}

TEST(FormatDescriptionForm, PropertyListsOfEveryValueKind) {
  struct Case {
    PropertyValue value;
    plist_t expected;
  };
  const Bytes blob = {0, 1, 2, 0xFF};
  Case cases[] = {{std::int64_t{42}, plist_new_uint(42)},
                  {2.5, plist_new_real(2.5)},
                  {true, plist_new_bool(1)},
                  {blob, plist_new_data(reinterpret_cast<const char*>(blob.data()), blob.size())},
                  {std::string("Größe"), plist_new_string("Größe")}};
  for (Case& c : cases) {
    const Bytes bplist = binaryPropertyList(c.value);
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bplist.data()), static_cast<std::uint32_t>(bplist.size()), &node);
    EXPECT_TRUE(node && plist_get_node_type(node) == plist_get_node_type(c.expected) &&
                plist_compare_node_value(node, c.expected))
        << "kind " << c.value.index();
    if (node) plist_free(node);
    plist_free(c.expected);
  }
  // Negative integers take the 8-byte form, which readers take as signed.
  const Bytes negative = binaryPropertyList(std::int64_t{-5});
  ASSERT_GT(negative.size(), 17u);
  EXPECT_EQ(Bytes(negative.begin() + 8, negative.begin() + 17),
            (Bytes{0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}));
}

// What has no byte form fails the frame instead of stopping the program.
TEST(ByteForms, ValuesWithoutAByteFormFail) {
  for (const platform::MediaTime time : {platform::MediaTime{-1, 60}, {1, -60}, {INT64_MIN, 1}})
    EXPECT_THROW(serialize(time), MediaError) << time.value;
  EXPECT_THROW(binaryPropertyList(std::string("\xC3\x28")), MediaError);  // broken UTF-8
  EXPECT_THROW(binaryPropertyList(std::string("a\0b", 3)), MediaError);
  EXPECT_THROW(plainDescription(-1, 2)->serialize(), MediaError);
  // A broken frame fails alone and in a fragment with or without its mask.
  using FrameBreakage = void (*)(SampleBufferData&);
  const FrameBreakage brokenFrames[] = {
      [](auto& f) { f.presentationTime.value = -5; },
      [](auto& f) { f.duration.timescale = -1; },
      [](auto& f) {
        f.formatDescription = std::make_shared<FormatDescription>(
            FormatDescription{.width = 4, .height = 2, .extensions = {{"Name", std::string("\xFF")}}});
      },
      [](auto& f) { f.formatDescription.reset(); },
      [](auto& f) { f.data.clear(); },
  };
  for (std::size_t i = 0; i < std::size(brokenFrames); ++i) {
    SampleBufferData frame = smallFrame();
    brokenFrames[i](frame);
    Fragment fragment = fragmentOf(frame);
    EXPECT_THROW(frame.serialize(), MediaError) << "frame " << i;
    EXPECT_THROW(fragment.serialize(), MediaError) << "frame " << i;
    fragment.skipMask = true;
    EXPECT_THROW(fragment.serialize(), MediaError) << "frame " << i;
  }
  using FragmentBreakage = void (*)(Fragment&);
  const FragmentBreakage brokenFragments[] = {
      [](auto& f) { f.storage.mask.reset(); },
      [](auto& f) { f.storage.frame.reset(); },
      [](auto& f) { f = {}; },
      [](auto& f) {
        auto plane = std::make_shared<MaskPlane>(*f.storage.mask);
        plane->bytes.pop_back();  // fewer bytes than its geometry
        f.storage.mask = plane;
      },
  };
  for (std::size_t i = 0; i < std::size(brokenFragments); ++i) {
    Fragment fragment = fragmentOf(smallFrame());
    brokenFragments[i](fragment);
    EXPECT_THROW(fragment.serialize(), MediaError) << "fragment " << i;
  }
}

// The header (width, height, row stride), the has-mask byte, then either the sample buffer alone
// or a pack of the sample buffer and the compressed mask.
TEST(FragmentForm, HeaderHasMaskByteThenTheSampleBufferAndTheMask) {
  Fragment castSized;
  castSized.storage.mask = std::make_shared<MaskPlane>(extractAlpha(*testing::makeImage(2400, 1280, testing::opaque)));
  castSized.storage.frame = std::make_shared<SampleBufferData>(smallFrame());
  const std::pair<Fragment, Bytes> cases[] = {{fragmentOf(smallFrame()), {0x03, 0x02, 0x40}},
                                              {castSized, {0xE0, 0x12, 0x80, 0x0A, 0x80, 0x13}}};
  const Bytes sample = smallFrameBytes();
  for (auto [fragment, header] : cases) {
    const Bytes mask = compressAppleLz4(fragment.storage.mask->bytes);
    Bytes lengths;
    codec::appendVarint(lengths, sample.size());
    codec::appendVarint(lengths, mask.size());
    EXPECT_EQ(fragment.serialize(), concat({header, {0x01}, lengths, sample, mask}));
    fragment.skipMask = true;
    EXPECT_EQ(fragment.serialize(), concat({header, {0x00}, sample}));
  }
}

}  // namespace
}  // namespace marlinax::media
