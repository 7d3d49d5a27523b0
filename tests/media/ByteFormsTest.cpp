#include <gtest/gtest.h>

#include <functional>
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
  auto description = std::make_shared<FormatDescription>();
  description->width = width;
  description->height = height;
  return description;
}

SampleBufferData smallFrame() {
  SampleBufferData frame;
  frame.duration = {1, 60};
  frame.presentationTime = {300, 60};
  frame.formatDescription = plainDescription(4, 2);
  frame.data = {0xFF, 0xD8, 0xFF, 0xD9};
  return frame;
}

// The Cod body of a record without keys, as the codec writes it.
Bytes emptyExtensions() { return codec::CodEncoder().encode(std::map<std::string, Bytes>{}); }

Bytes smallFrameBytes() {
  const Bytes description = concat({{0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0x04, 0x02}, emptyExtensions()});
  return concat({{0x02, 0x03, 0x02, static_cast<std::uint8_t>(description.size()), 0x04},
                 {0x01, 0x3C},
                 {0xAC, 0x02, 0x3C},
                 {0x00, 0x00},
                 description,
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

TEST(TimeForm, IsValueThenTimescaleAsVarints) {
  EXPECT_EQ(serialize(platform::MediaTime{1, 60}), (Bytes{0x01, 0x3C}));
  EXPECT_EQ(serialize(platform::MediaTime::invalid()), (Bytes{0x00, 0x00}));
  EXPECT_EQ(serialize(platform::MediaTime{300, 1000000000}), (Bytes{0xAC, 0x02, 0x80, 0x94, 0xEB, 0xDC, 0x03}));
  EXPECT_EQ(serialize(platform::MediaTime{INT64_MAX, INT32_MAX}),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}));
}

TEST(FormatDescriptionForm, CarriesSubtypeSizeAndPropertyListExtensions) {
  const auto description = FormatDescription::jpeg(2400, 1280);
  const Bytes bytes = description->serialize();
  const Bytes head = {0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0xE0, 0x12, 0x80, 0x0A};
  ASSERT_GT(bytes.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));

  const auto extensions =
      codec::CodDecoder().decode<std::map<std::string, Bytes>>(ByteView(bytes).subspan(head.size()));
  ASSERT_EQ(extensions.size(), description->extensions.size());
  // Each value as a binary property list (their form: PropertyListsOfEveryValueKind).
  for (const auto& [key, value] : description->extensions) EXPECT_EQ(extensions.at(key), binaryPropertyList(value));

  EXPECT_EQ(plainDescription(4, 2)->serialize(),
            concat({{0xE7, 0xCA, 0xC1, 0xD3, 0x06, 0x04, 0x02}, emptyExtensions()}));
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

TEST(SampleBufferForm, IsAFivePiecePack) { EXPECT_EQ(smallFrame().serialize(), smallFrameBytes()); }

// What has no byte form fails the frame instead of stopping the program.
TEST(ByteForms, ValuesWithoutAByteFormFail) {
  for (const platform::MediaTime time : {platform::MediaTime{-1, 60}, {1, -60}, {INT64_MIN, 1}})
    EXPECT_THROW(serialize(time), MediaError) << time.value;
  EXPECT_THROW(binaryPropertyList(std::string("\xC3\x28")), MediaError);  // broken UTF-8
  EXPECT_THROW(binaryPropertyList(std::string("a\0b", 3)), MediaError);
  EXPECT_THROW(plainDescription(-1, 2)->serialize(), MediaError);
  auto badName = plainDescription(4, 2);
  badName->extensions["Name"] = std::string("\xFF");
  // A broken frame fails alone and in a fragment with or without its mask.
  const std::function<void(SampleBufferData&)> brokenFrames[] = {[](auto& f) {
                                                                   f.presentationTime = {-5, 60};
                                                                 },
                                                                 [](auto& f) {
                                                                   f.duration = {1, -1};
                                                                 },
                                                                 [&](auto& f) { f.formatDescription = badName; },
                                                                 [](auto& f) { f.formatDescription.reset(); },
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
      [](auto& f) {
        auto plane = std::make_shared<MaskPlane>(*f.storage.mask);
        plane->bytes.pop_back();  // fewer bytes than its geometry
        f.storage.mask = plane;
      }};
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
    const Bytes withMask = fragment.serialize();
    EXPECT_EQ(Bytes(withMask.begin(), withMask.begin() + header.size() + 1), concat({header, {0x01}}));
    std::size_t offset = header.size() + 1;
    const std::uint64_t sampleLength = codec::readVarint(withMask, offset);
    const std::uint64_t maskLength = codec::readVarint(withMask, offset);
    EXPECT_EQ(sampleLength, sample.size());
    ASSERT_EQ(offset + sample.size() + maskLength, withMask.size());
    EXPECT_EQ(Bytes(withMask.begin() + offset, withMask.begin() + offset + sample.size()), sample);
    const Bytes compressed(withMask.begin() + offset + sample.size(), withMask.end());
    EXPECT_EQ(compressed, compressAppleLz4(fragment.storage.mask->bytes));
    EXPECT_EQ(decompressAppleLz4(compressed), fragment.storage.mask->bytes);
    fragment.skipMask = true;
    EXPECT_EQ(fragment.serialize(), concat({header, {0x00}, sample}));
  }
}

}  // namespace
}  // namespace marlinax::media
