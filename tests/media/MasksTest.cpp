#include "media/Masks.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include "media/MediaTestImages.h"

namespace marlinax::media {
namespace {

constexpr std::uint32_t kDisplay = 7;

Fragment withPlane(MaskPlane plane) {
  Fragment fragment;
  fragment.storage.mask = std::make_shared<MaskPlane>(std::move(plane));
  return fragment;
}

// A mask of one value over the given geometry, with zero row padding as extraction leaves it.
Fragment fragmentWithMask(int width, int height, std::uint8_t fill) {
  return withPlane(extractAlpha(*testing::makeImage(width, height, [fill](int, int) { return fill; })));
}

Fragment withBytes(Bytes bytes) {
  return withPlane({.width = int(bytes.size()), .height = 1, .stride = int(bytes.size()), .bytes = bytes});
}

// The digest the headset sends back, computed independently of the code under test:
// all row-stride x height bytes, padding included.
Bytes digestOf(ByteView bytes) {
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(bytes.data(), bytes.size(), digest.data());
  return digest;
}
Bytes digestOf(const Fragment& fragment) { return digestOf(fragment.storage.mask->bytes); }

// Runs a fresh fragment through the table; true when its mask travels.
bool maskTravels(Masks& masks, Fragment fragment, std::uint32_t display = kDisplay) {
  masks.process(fragment, display);
  EXPECT_FALSE(fragment.maskHash.has_value());
  return !fragment.skipMask;
}

TEST(Masks, FollowTheConfirmationSequencePerDisplay) {
  Masks masks;
  const Fragment m1 = fragmentWithMask(100, 10, 0xFF), m2 = fragmentWithMask(100, 10, 0x80);

  EXPECT_FALSE(masks.acknowledge(digestOf(m1), kDisplay)) << "a confirmation without entry creates nothing";
  EXPECT_TRUE(maskTravels(masks, m1)) << "first frame";
  EXPECT_TRUE(maskTravels(masks, m1)) << "unchanged but unconfirmed";
  // Only the exact digest confirms: not a shorter, empty, longer or flipped one, nor the
  // digest of the pixels without the row padding.
  const Bytes digest = digestOf(m1);
  Bytes longDigest = digest, flipped = digest;
  longDigest.push_back(0);
  flipped[31] ^= 1;
  for (const Bytes& wrong :
       {Bytes(digest.begin(), digest.end() - 1), Bytes{}, longDigest, flipped, digestOf(Bytes(100 * 10, 0xFF))}) {
    EXPECT_TRUE(masks.acknowledge(wrong, kDisplay));
    EXPECT_TRUE(maskTravels(masks, m1)) << "wrong digest of " << wrong.size() << " bytes counted";
  }
  EXPECT_TRUE(masks.acknowledge(digest, kDisplay));
  EXPECT_FALSE(maskTravels(masks, m1)) << "confirmed";
  EXPECT_FALSE(maskTravels(masks, m1)) << "stays confirmed";
  EXPECT_TRUE(maskTravels(masks, m2)) << "new mask";
  EXPECT_TRUE(masks.acknowledge(digestOf(m1), kDisplay)) << "late confirmation still finds the entry";
  EXPECT_TRUE(maskTravels(masks, m2)) << "late confirmation of the older mask is ignored";
  EXPECT_TRUE(masks.acknowledge(digestOf(m2), kDisplay));
  EXPECT_FALSE(maskTravels(masks, m2));
  EXPECT_TRUE(maskTravels(masks, m1)) << "going back to an earlier mask is a change too";
  EXPECT_TRUE(masks.acknowledge(digestOf(m1), kDisplay));

  masks.forget(kDisplay);
  EXPECT_FALSE(masks.acknowledge(digestOf(m1), kDisplay)) << "no entry after forget";
  masks.forget(kDisplay);  // forgetting twice, or a display never seen, is harmless
  masks.forget(12345);

  // Displays are independent: a confirmation or a forget of one leaves the other alone.
  EXPECT_TRUE(maskTravels(masks, m1)) << "after forget even the confirmed mask travels again";
  EXPECT_TRUE(maskTravels(masks, m1, 1));
  EXPECT_TRUE(masks.acknowledge(digestOf(m1), kDisplay));
  EXPECT_FALSE(maskTravels(masks, m1));
  EXPECT_TRUE(maskTravels(masks, m1, 1)) << "confirmation of one display leaked to another";
  masks.forget(kDisplay);
  EXPECT_TRUE(masks.acknowledge(digestOf(m1), 1));
  EXPECT_FALSE(maskTravels(masks, m1, 1)) << "forgetting one display touched another";

  // Masks are compared over the shorter of the two buffers.
  const Fragment longer = withBytes({1, 2, 3, 4, 5, 6}), shorter = withBytes({1, 2, 3, 4}),
                 differs = withBytes({1, 2, 9});
  ASSERT_TRUE(maskTravels(masks, longer, 2));
  masks.acknowledge(digestOf(longer), 2);
  EXPECT_FALSE(maskTravels(masks, shorter, 2)) << "the shorter buffer replaced the entry";
  // The entry is still the longer mask: its digest, not the shorter one's, is stored.
  EXPECT_FALSE(maskTravels(masks, longer, 2));
  EXPECT_TRUE(maskTravels(masks, differs, 2));
  EXPECT_TRUE(masks.acknowledge(digestOf(differs), 2));
  EXPECT_FALSE(maskTravels(masks, differs, 2));
  // An empty mask equals anything over zero bytes.
  EXPECT_FALSE(maskTravels(masks, withBytes({}), 2));
}

}  // namespace
}  // namespace marlinax::media
