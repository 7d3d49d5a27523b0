// Byte forms of message bodies and of whole multiplexed messages.

#include "messaging/Serializable.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "codec/Cod.h"
#include "codec/CodTestSupport.h"
#include "messaging/MessageCatalogue.h"

namespace marlinax::messaging {
namespace {

using codec::testing::hex;
using codec::testing::toHex;

// `value` is written as `bytes`, and `bytes` read back as `value`.
template <class T>
void bothWays(const T& value, const Bytes& bytes) {
  EXPECT_EQ(serialize(value), bytes);
  EXPECT_EQ(deserialize<T>(bytes), value);
}

TEST(SerializableForms, OptionalsVoidByteStringsPacksAndFrameRequests) {
  // A present value whose own form is empty is still marked present.
  const std::pair<std::optional<Bytes>, Bytes> optionals[] = {
      {std::nullopt, {0x00}}, {Bytes{}, {0x01}}, {Bytes{0xAA, 0xBB}, {0x01, 0xAA, 0xBB}}};
  for (const auto& [value, bytes] : optionals) bothWays(value, bytes);
  EXPECT_EQ(serialize(std::optional<SerializableVoid>(SerializableVoid{})), (Bytes{0x01}));
  for (Bytes bad : {Bytes{}, Bytes{0x02}, Bytes{0xFF, 0x00}})
    EXPECT_THROW(deserialize<std::optional<Bytes>>(bad), SerializationError);

  EXPECT_TRUE(serialize(SerializableVoid{}).empty());
  // The empty value never reads its bytes, whatever they are.
  EXPECT_NO_THROW(deserialize<SerializableVoid>(Bytes{0xFF, 0x13}));
  EXPECT_EQ(serialize(Bytes{1, 2, 3}), (Bytes{1, 2, 3}));
  EXPECT_EQ(deserialize<Bytes>(Bytes{9, 8}), (Bytes{9, 8}));
  // Packs write lengths then pieces.
  EXPECT_EQ(serialize(makePack(Bytes{0x01, 0x02}, Bytes{0x03})), (Bytes{0x02, 0x01, 0x01, 0x02, 0x03}));
  EXPECT_TRUE(serialize(SerializablePack<>{}).empty());
  // Lengths of 128 and more take two varint bytes; an empty piece has length 0.
  Bytes packed{0xC8, 0x01, 0x00, 0x01};
  packed.insert(packed.end(), 200, 0x5A);
  packed.push_back(0x00);
  EXPECT_EQ(serialize(makePack(Bytes(200, 0x5A), Bytes{}, std::optional<Bytes>())), packed);
  EXPECT_THROW((deserialize<SerializablePack<Bytes, Bytes>>(Bytes{0x01, 0x01, 0x00, 0x00})), SerializationError);
  // A frame request is the identifier as a varint, then the fragment.
  using Frame = clientMessages::WindowFrame::Request;
  const std::pair<Frame, Bytes> frames[] = {
      {{.identifier = 300, .frame = Bytes{0xDE, 0xAD, 0xBE}}, {0xAC, 0x02, 0xDE, 0xAD, 0xBE}},
      {{.identifier = 0xFFFFFFFFu, .frame = {}}, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  for (const auto& [frame, bytes] : frames) bothWays(frame, bytes);
  // 2^32 does not fit a display identifier.
  EXPECT_THROW(deserialize<Frame>(Bytes{0x80, 0x80, 0x80, 0x80, 0x10}), SerializationError);
}

// Record bodies: the shape table (keys sorted byte-wise), the keyed container (nil flags, shape 0,
// element sizes), then the values.
TEST(Catalogue, RecordBodies) {
  // The computer's first request: the key "version", element size 8, then the version.
  EXPECT_EQ(toHex(serialize(clientMessages::MacOSHandshake::Request{.version = 1})),
            "01 01 07 76 65 72 73 69 6F 6E 00 00 08 01 00 00 00 00 00 00 00");
  // "name" and "version".
  const serverMessages::VisionOSHandshake::Reply reply{.version = 7, .name = "abc"};
  const Bytes replyBytes = hex("01 02 04 6E 61 6D 65 07 76 65 72 73 69 6F 6E | 00 00 04 08 | 03 61 62 63"
                               "07 00 00 00 00 00 00 00");
  bothWays(reply, replyBytes);

  // A display: "app", "frame", "identifier", ("title",) "windowLayer"; the frame is two nested
  // lists of two doubles. Values: app "", the frame, identifier 1, ("Display 1",) layer 0.
  Display display{.identifier = 1, .title = std::nullopt, .app = "", .frame = {0, 0, 1920, 1080}, .windowLayer = 0};
  const std::string keys = "03 61 70 70 05 66 72 61 6D 65 0A 69 64 65 6E 74 69 66 69 65 72";
  const std::string windowLayer = "0B 77 69 6E 64 6F 77 4C 61 79 65 72";
  const std::string appAndFrame = "00 | 00 02 13 00 02 08 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                  "00 02 08 00 00 00 00 00 00 9E 40 00 00 00 00 00 E0 90 40 | ";
  const Bytes untitled = hex("01 04 " + keys + windowLayer + "| 00 00 01 29 04 08 | " + appAndFrame +
                             "01 00 00 00 | 00 00 00 00 00 00 00 00");
  const Bytes titled = hex("01 05 " + keys + "05 74 69 74 6C 65" + windowLayer + "| 00 00 01 29 04 0A 08 | " +
                           appAndFrame + "01 00 00 00 | 09 44 69 73 70 6C 61 79 20 31 | 00 00 00 00 00 00 00 00");
  bothWays(display, untitled);
  display.title = "Display 1";
  bothWays(display, titled);
}

}  // namespace
}  // namespace marlinax::messaging
