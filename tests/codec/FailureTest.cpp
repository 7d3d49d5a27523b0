// Every malformed-input rule, with the exact error and byte position.

#include "CodTestSupport.h"

namespace marlinax::codec::testing {
namespace {

TEST(Failures, Truncated) {
  const auto truncated = err(Kind::truncated);
  // The shape table: count, key count, key length and key bytes cut off.
  expectErrors<Note>(truncated, {"", "01", "01 01", "01 01 05 63 6F", "80"});
  // A varint longer than nine bytes; a root primitive shorter than its width, or without even the nil flag.
  expectErrors<Int>(truncated, {"FF FF FF FF FF FF FF FF FF 00", "00 00 05 00 00", "00"});
  // A record's metadata byte, shape ID and element size missing; a value shorter than its width; the nil
  // bitmap for 9 keys needs two bytes.
  expectErrors<Counted>(truncated, {"01 01 05 63 6F 75 6E 74", "01 01 05 63 6F 75 6E 74 00",
                                    "01 01 05 63 6F 75 6E 74 00 00", "01 01 05 63 6F 75 6E 74 00 00 08 05 00 00",
                                    "01 09 01 61 01 62 01 63 01 64 01 65 01 66 01 67 01 68 01 69 | 01 00 FF"});
  // A list's metadata byte, count, element size and size-list varints missing.
  expectErrors<std::vector<Int>>(truncated, {"00", "00 00", "00 00 02", "00 01 02 08"});
  expectErrors<std::vector<std::int32_t>>(truncated, {"00 00 02 04 01 00 00 00 02 00"});
  // String length beyond the bytes.
  expectErrors<std::string>(truncated, {"00 00 04 61 62 63"});
  // The nil bitmap for 9 entries needs two bytes, for one entry one.
  expectErrors<std::vector<std::optional<Int>>>(truncated, {"00 | 02 09 FF", "00 | 02 01"});
  // An element range beyond the element area: the end of the first, the start of the second.
  expectErrors<std::vector<std::string>>(truncated, {"00 | 01 02 05 02 01 61", "00 | 01 02 05 02 04 61 62 63 64"});
  expectErrors<std::vector<std::optional<std::string>>>(truncated, {"00 | 02 02 00 09 01 01 61"});
  expectErrors<Named>(truncated,
                      {"01 01 04 6E 61 6D 65 00 00 04 05 61 62 63", "01 02 01 61 04 6E 61 6D 65 | 00 00 09 02 01 61"});
}

TEST(Failures, DuplicateKeysMetadataAndShapeIDs) {
  expectErrors<Counted>(err(Kind::duplicateKeys), {"01 02 01 61 01 61", "02 00 03 01 62 01 61 01 62"});
  // Distinct keys in any order are fine; the reader does not require sorted shapes.
  expectErrors<Counted>(std::nullopt, {"01 02 05 63 6F 75 6E 74 01 61 | 00 00 08 01 07 00 00 00 00 00 00 00 00"});
  // Invalid metadata points past the metadata byte.
  expectErrors<Counted>(err(Kind::invalidMetadata, 3), {"01 00 | 02 00", "01 00 | FF 00"});
  EXPECT_EQ(decodeError<std::vector<Int>>(hex("00 | 03 00")), err(Kind::invalidMetadata, 2));
  // 0x02 is a valid unkeyed layout, and 0x01 a valid keyed one.
  EXPECT_EQ(decodeError<std::vector<Int>>(hex("00 | 02 00")), std::nullopt);
  EXPECT_EQ((decodeError<std::map<std::string, Int>>(hex("01 00 | 01 00"))), std::nullopt);
  // Invalid shape ID points past the varint.
  EXPECT_EQ(decodeError<Counted>(hex("01 00 | 00 01")), err(Kind::invalidShapeID, 4));
  EXPECT_EQ(decodeError<Counted>(hex("01 00 | 00 80 01")), err(Kind::invalidShapeID, 5));
  EXPECT_EQ(decodeError<Counted>(hex("00 | 01 00")), err(Kind::invalidShapeID, 3));
}

TEST(Failures, InvalidBoolAndUTF8PointAtTheirByte) {
  expectErrors<bool>(err(Kind::invalidBool, 2), {"00 00 02", "00 00 FF"});

  // Deep inside: a list of two records; the second record's value byte.
  using Flags = std::vector<std::map<std::string, bool>>;
  Bytes flags = encode(Flags{{{"ok", false}}, {{"ok", true}}});
  ASSERT_EQ(toHex(flags), "01 01 02 6F 6B 00 02 04 00 00 01 00 00 00 01 01");
  flags[15] = 0x02;
  EXPECT_EQ(decodeError<Flags>(flags), err(Kind::invalidBool, 15));
  // Invalid UTF-8 points at the first string byte. In a shape key:
  EXPECT_EQ(decodeError<Counted>(hex("01 01 02 C3 28")), err(Kind::invalidUTF8, 3));
  // A root string value.
  EXPECT_EQ(decodeError<std::string>(hex("00 00 02 C3 28")), err(Kind::invalidUTF8, 3));
  // A string in the second entry of a list inside a record.
  Bytes bytes = encode(std::map<std::string, std::vector<std::string>>{{"n", {"ab", "cd"}}});
  ASSERT_EQ(toHex(bytes), "01 01 01 6E 00 00 09 00 02 03 02 61 62 02 63 64");
  bytes[14] = 0xFF;
  EXPECT_EQ((decodeError<std::map<std::string, std::vector<std::string>>>(bytes)), err(Kind::invalidUTF8, 14));
  // Overlong forms, surrogates, code points past U+10FFFF and cut sequences are all invalid.
  // A lead byte where a later continuation byte belongs, too.
  const std::pair<const char*, bool> sequences[] = {
      {"C0 80", false}, {"E0 80 80", false}, {"ED A0 80", false}, {"F4 90 80 80", false}, {"F8 88 80 80 80", false},
      {"E2 82", false}, {"80", false},       {"E2 82 C2", false}, {"00", true},           {"7F", true},
      {"C2 80", true},  {"E2 82 AC", true},  {"ED 9F BF", true},  {"F0 9F 98 80", true},  {"F4 8F BF BF", true}};
  for (auto [utf8, valid] : sequences) {
    Bytes message = hex(utf8);
    message.insert(message.begin(), {0x00, 0x00, static_cast<std::uint8_t>(message.size())});
    EXPECT_EQ(decodeError<std::string>(message), valid ? std::nullopt : std::optional(err(Kind::invalidUTF8, 3)))
        << utf8;
  }
  // What we send is always repaired: one U+FFFD per maximal invalid subpart.
  const std::pair<const char*, const char*> repairs[] = {
      {"4A FC 72", "4A EF BF BD 72"}, {"E2 82 41", "EF BF BD 41"},    {"ED A0 80", "EF BF BD EF BF BD EF BF BD"},
      {"F0 9F 98", "EF BF BD"},       {"C0 80", "EF BF BD EF BF BD"}, {"F0 9F 98 80 41", "F0 9F 98 80 41"},
  };
  for (auto [in, out] : repairs) {
    Bytes bytes = hex(in);
    std::string repaired = codec::toValidUtf8(std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(toHex(Bytes(repaired.begin(), repaired.end())), out) << in;
  }
}

TEST(Failures, UnknownKeyAndInvalidOptional) {
  // The record's key is missing from the shape.
  EXPECT_EQ(decodeError<Counted>(encode(Named{"abc"})), err(Kind::unknownKey));
  // A missing key, or a nil one, opened as a nested container or super-decoder.
  auto rootKeyed = [](const Bytes& bytes, const std::function<void(const KeyedDecodingContainer&)>& f) {
    return producerError([&] { withRoot(bytes, [&](Decoder& root) { f(root.container()); }); });
  };
  const Bytes nilCount = hex("01 01 05 63 6F 75 6E 74 | 01 00 01");
  for (const char* key : {"count", "other"}) {
    EXPECT_EQ(rootKeyed(nilCount, [&](auto& c) { c.nestedContainer(key); }), err(Kind::unknownKey)) << key;
    EXPECT_EQ(rootKeyed(nilCount, [&](auto& c) { c.nestedUnkeyedContainer(key); }), err(Kind::unknownKey)) << key;
    EXPECT_EQ(rootKeyed(nilCount, [&](auto& c) { c.superDecoder(key); }), err(Kind::unknownKey)) << key;
  }
  EXPECT_EQ(rootKeyed(nilCount, [&](auto& c) { c.template decode<std::optional<Int>>("other"); }),
            err(Kind::unknownKey));
  // Asking whether a missing key is nil is not an error: it is not.
  EXPECT_EQ(rootKeyed(nilCount, [&](auto& c) { EXPECT_FALSE(c.decodeNil("other")); }), std::nullopt);
  // A value that must be there but is nil.
  // "count" is nil in the bitmap but the record needs it.
  EXPECT_EQ(decodeError<Counted>(hex("01 01 05 63 6F 75 6E 74 | 01 00 01")), err(Kind::invalidOptional));
  // A nil list entry read as a non-optional value.
  EXPECT_EQ(decodeError<std::vector<Int>>(hex("00 | 02 02 01 08 05 00 00 00 00 00 00 00")), err(Kind::invalidOptional));
}

}  // namespace
}  // namespace marlinax::codec::testing
