// Byte forms of message bodies and of whole multiplexed messages.

#include "messaging/Serializable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "codec/Cod.h"
#include "messaging/MessageCatalogue.h"

namespace marlinax::messaging {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes text(std::string_view s) {
  Bytes out(s.size() + 1);
  out[0] = static_cast<std::uint8_t>(s.size());
  std::copy(s.begin(), s.end(), out.begin() + 1);
  return out;
}

Bytes littleEndian(std::uint64_t value, int width) {
  Bytes out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

Bytes doubleBytes(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return littleEndian(bits, 8);
}

TEST(SerializableForms, OptionalsVoidAndByteStrings) {
  // A present value whose own form is empty is still marked present.
  const std::pair<std::optional<Bytes>, Bytes> optionals[] = {
      {std::nullopt, {0x00}}, {Bytes{}, {0x01}}, {Bytes{0xAA, 0xBB}, {0x01, 0xAA, 0xBB}}};
  for (const auto& [value, bytes] : optionals) {
    EXPECT_EQ(serialize(value), bytes);
    EXPECT_EQ(deserialize<std::optional<Bytes>>(bytes), value);
  }
  EXPECT_EQ(serialize(std::optional<SerializableVoid>(SerializableVoid{})), (Bytes{0x01}));
  for (Bytes bad : {Bytes{}, Bytes{0x02}, Bytes{0xFF, 0x00}})
    EXPECT_THROW(deserialize<std::optional<Bytes>>(bad), SerializationError);

  EXPECT_TRUE(serialize(SerializableVoid{}).empty());
  // The empty value never reads its bytes, whatever they are.
  EXPECT_NO_THROW(deserialize<SerializableVoid>(Bytes{0xFF, 0x13}));
  EXPECT_EQ(serialize(Bytes{1, 2, 3}), (Bytes{1, 2, 3}));
  EXPECT_EQ(deserialize<Bytes>(Bytes{9, 8}), (Bytes{9, 8}));
}

TEST(SerializableForms, PacksWriteLengthsThenPieces) {
  EXPECT_EQ(serialize(makePack(Bytes{0x01, 0x02}, Bytes{0x03})), (Bytes{0x02, 0x01, 0x01, 0x02, 0x03}));
  EXPECT_TRUE(serialize(SerializablePack<>{}).empty());
  // Lengths of 128 and more take two varint bytes; an empty piece has length 0.
  Bytes big(200, 0x5A);
  Bytes packed = serialize(makePack(big, Bytes{}, std::optional<Bytes>()));
  ASSERT_EQ(packed.size(), 4u + 200u + 0u + 1u);
  EXPECT_EQ((Bytes(packed.begin(), packed.begin() + 4)), (Bytes{0xC8, 0x01, 0x00, 0x01}));
  EXPECT_EQ(packed.back(), 0x00);
  EXPECT_THROW((deserialize<SerializablePack<Bytes, Bytes>>(Bytes{0x01, 0x01, 0x00, 0x00})), SerializationError);
}

TEST(SerializableForms, FrameRequestIsVarintIdentifierThenFragment) {
  clientMessages::WindowFrame::Request request{.identifier = 300, .frame = Bytes{0xDE, 0xAD, 0xBE}};
  EXPECT_EQ(serialize(request), (Bytes{0xAC, 0x02, 0xDE, 0xAD, 0xBE}));
  EXPECT_EQ(deserialize<clientMessages::WindowFrame::Request>(serialize(request)), request);

  clientMessages::WindowFrame::Request large{.identifier = 0xFFFFFFFFu, .frame = {}};
  EXPECT_EQ(serialize(large), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  EXPECT_EQ(deserialize<clientMessages::WindowFrame::Request>(serialize(large)).identifier, 0xFFFFFFFFu);
  // 2^32 does not fit a display identifier.
  EXPECT_THROW(deserialize<clientMessages::WindowFrame::Request>(Bytes{0x80, 0x80, 0x80, 0x80, 0x10}),
               SerializationError);
}

TEST(Catalogue, HandshakeRequestBody) {
  // The computer's first request: one shape with the key "version", a nonnull
  // keyed container, shape 0, element size 8, then the version.
  Bytes expected = concat({{0x01, 0x01}, text("version"), {0x00, 0x00, 0x08}, littleEndian(1, 8)});
  EXPECT_EQ(serialize(clientMessages::MacOSHandshake::Request{.version = 1}), expected);
}

TEST(Catalogue, HandshakeReplyRoundTripsWithSortedKeys) {
  serverMessages::VisionOSHandshake::Reply reply{.version = 7, .name = "abc"};
  Bytes expected =
      concat({{0x01, 0x02}, text("name"), text("version"), {0x00, 0x00, 0x04, 0x08}, text("abc"), littleEndian(7, 8)});
  EXPECT_EQ(serialize(reply), expected);
  EXPECT_EQ(deserialize<serverMessages::VisionOSHandshake::Reply>(expected), reply);
}

TEST(Catalogue, DisplayWithoutTitleHasFourKeysWithTitleFive) {
  Display display{.identifier = 1, .title = std::nullopt, .app = "", .frame = {0, 0, 1920, 1080}, .windowLayer = 0};
  Bytes rect = concat({{0x00, 0x02, 0x13},
                       {0x00, 0x02, 0x08},
                       doubleBytes(0),
                       doubleBytes(0),
                       {0x00, 0x02, 0x08},
                       doubleBytes(1920),
                       doubleBytes(1080)});
  Bytes untitled = concat({{0x01, 0x04},
                           text("app"),
                           text("frame"),
                           text("identifier"),
                           text("windowLayer"),
                           {0x00, 0x00, 0x01, 0x29, 0x04, 0x08},
                           {0x00},
                           rect,
                           littleEndian(1, 4),
                           littleEndian(0, 8)});
  EXPECT_EQ(serialize(display), untitled);

  display.title = "Display 1";
  Bytes titled = concat({{0x01, 0x05},
                         text("app"),
                         text("frame"),
                         text("identifier"),
                         text("title"),
                         text("windowLayer"),
                         {0x00, 0x00, 0x01, 0x29, 0x04, 0x0A, 0x08},
                         {0x00},
                         rect,
                         littleEndian(1, 4),
                         text("Display 1"),
                         littleEndian(0, 8)});
  EXPECT_EQ(serialize(display), titled);
  EXPECT_EQ(deserialize<Display>(titled), display);
  EXPECT_EQ(deserialize<Display>(untitled).title, std::nullopt);
}

}  // namespace
}  // namespace marlinax::messaging
