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

Fragment fragmentOf(SampleBufferData frame, int width, int height, int stride) {
  auto mask = std::make_shared<MaskPlane>();
  mask->width = width;
  mask->height = height;
  mask->stride = stride;
  mask->bytes.assign(static_cast<std::size_t>(stride) * height, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      mask->bytes[static_cast<std::size_t>(y) * stride + x] = static_cast<std::uint8_t>(x + 1);
  Fragment fragment;
  fragment.storage.frame = std::make_shared<SampleBufferData>(std::move(frame));
  fragment.storage.mask = std::move(mask);
  return fragment;
}

std::string plistString(const Bytes& bplist) {
  plist_t node = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bplist.data()), static_cast<std::uint32_t>(bplist.size()), &node);
  std::string result = "<not a string>";
  if (node && plist_get_node_type(node) == PLIST_STRING) {
    char* text = nullptr;
    plist_get_string_val(node, &text);
    result = text;
    free(text);
  }
  if (node) plist_free(node);
  return result;
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
  for (const auto& [key, value] : description->extensions) {
    SCOPED_TRACE(key);
    ASSERT_EQ(extensions.count(key), 1u);
    const Bytes& bplist = extensions.at(key);
    EXPECT_EQ(std::string(bplist.begin(), bplist.begin() + 8), "bplist00");
    EXPECT_EQ(plistString(bplist), std::get<std::string>(value));
  }

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
  auto frameWith = [](auto change) {
    SampleBufferData frame = smallFrame();
    change(frame);
    return frame;
  };
  auto fragmentWith = [](auto change) {
    Fragment fragment = fragmentOf(smallFrame(), 3, 2, 64);
    change(fragment);
    return fragment;
  };
  auto badName = [] {
    auto description = plainDescription(4, 2);
    description->extensions["Name"] = std::string("\xFF");
    return description;
  };
  const std::function<void()> failures[] = {
      [] {
        serialize(platform::MediaTime{-1, 60});
      },
      [] {
        serialize(platform::MediaTime{1, -60});
      },
      [] {
        serialize(platform::MediaTime{INT64_MIN, 1});
      },
      [&] { frameWith([](auto& f) {
              f.presentationTime = {-5, 60};
            }).serialize(); },
      [&] {
        fragmentOf(frameWith([](auto& f) { f.presentationTime = {-5, 60}; }), 3, 2, 64).serialize();
      },
      [&] {
        Fragment skipped = fragmentOf(frameWith([](auto& f) { f.duration = {1, -1}; }), 3, 2, 64);
        skipped.skipMask = true;
        skipped.serialize();
      },
      [] { binaryPropertyList(std::string("\xC3\x28")); },  // broken UTF-8
      [] { binaryPropertyList(std::string("a\0b", 3)); },
      [&] { badName()->serialize(); },
      [] { plainDescription(-1, 2)->serialize(); },
      [&] { fragmentOf(frameWith([&](auto& f) { f.formatDescription = badName(); }), 3, 2, 64).serialize(); },
      [&] { frameWith([](auto& f) { f.formatDescription.reset(); }).serialize(); },
      [&] { frameWith([](auto& f) { f.data.clear(); }).serialize(); },
      [&] { fragmentWith([](auto& f) { f.storage.mask.reset(); }).serialize(); },
      [&] { fragmentWith([](auto& f) { f.storage.frame.reset(); }).serialize(); },
      [&] {
        fragmentWith([](auto& f) {
          auto plane = std::make_shared<MaskPlane>(*f.storage.mask);
          plane->bytes.pop_back();  // fewer bytes than its geometry
          f.storage.mask = plane;
        }).serialize();
      },
      [] { Fragment{}.serialize(); },
  };
  for (std::size_t i = 0; i < std::size(failures); ++i) EXPECT_THROW(failures[i](), MediaError) << "case " << i;
}

TEST(FragmentForm, WithoutMaskIsHeaderZeroAndTheSampleBuffer) {
  Fragment fragment = fragmentOf(smallFrame(), 3, 2, 64);
  fragment.skipMask = true;
  EXPECT_EQ(fragment.serialize(), concat({{0x03, 0x02, 0x40, 0x00}, smallFrameBytes()}));
}

TEST(FragmentForm, WithMaskIsHeaderOneAndATwoPiecePack) {
  const Fragment fragment = fragmentOf(smallFrame(), 3, 2, 64);
  const Bytes bytes = fragment.serialize();
  const Bytes sample = smallFrameBytes();
  ASSERT_LT(sample.size(), 128u);
  ASSERT_GE(bytes.size(), 6u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 5),
            (Bytes{0x03, 0x02, 0x40, 0x01, static_cast<std::uint8_t>(sample.size())}));

  std::size_t offset = 5;
  const std::uint64_t maskLength = codec::readVarint(bytes, offset);
  ASSERT_EQ(offset + sample.size() + maskLength, bytes.size());
  EXPECT_EQ(Bytes(bytes.begin() + offset, bytes.begin() + offset + sample.size()), sample);
  const Bytes compressed(bytes.begin() + offset + sample.size(), bytes.end());
  EXPECT_EQ(compressed, compressAppleLz4(fragment.storage.mask->bytes));
  EXPECT_EQ(decompressAppleLz4(compressed), fragment.storage.mask->bytes);
}

TEST(FragmentForm, CastSizedMaskHeader) {
  const auto image = testing::makeImage(2400, 1280, [](int, int) { return 0xFF; });
  Fragment fragment;
  fragment.storage.mask = std::make_shared<MaskPlane>(extractAlpha(*image));
  fragment.storage.frame = std::make_shared<SampleBufferData>(smallFrame());
  const Bytes header = {0xE0, 0x12, 0x80, 0x0A, 0x80, 0x13};

  const Bytes withMask = fragment.serialize();
  EXPECT_EQ(Bytes(withMask.begin(), withMask.begin() + 7), concat({header, {0x01}}));
  std::size_t offset = 7;
  const std::uint64_t sampleLength = codec::readVarint(withMask, offset);
  const std::uint64_t maskLength = codec::readVarint(withMask, offset);
  EXPECT_EQ(sampleLength, smallFrameBytes().size());
  ASSERT_EQ(offset + sampleLength + maskLength, withMask.size());
  EXPECT_EQ(decompressAppleLz4(ByteView(withMask).subspan(offset + sampleLength)), fragment.storage.mask->bytes);

  fragment.skipMask = true;
  EXPECT_EQ(fragment.serialize(), concat({header, {0x00}, smallFrameBytes()}));
}

}  // namespace
}  // namespace marlinax::media
