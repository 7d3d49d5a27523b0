// Exact byte forms of the Cod encoding, both directions.

#include <limits>

#include "CodTestSupport.h"

namespace marlinax::codec::testing {
enum class Direction : std::int16_t { up = 1, down = -1 };
}  // namespace marlinax::codec::testing

template <>
struct marlinax::codec::RawValueEnum<marlinax::codec::testing::Direction> {
  using Raw = std::int16_t;
  static std::optional<testing::Direction> fromRaw(Raw raw) {
    return raw == 1 || raw == -1 ? std::optional(static_cast<testing::Direction>(raw)) : std::nullopt;
  }
  static Raw toRaw(testing::Direction d) { return static_cast<Raw>(d); }
};

namespace marlinax::codec::testing {
namespace {

TEST(WireVectors, RootValuesPrimitivesAndWorkedRecords) {
  bothWays(Row{std::vector<std::int32_t>{1, 2, 3}, "00 | 00 03 04 01 00 00 00 02 00 00 00 03 00 00 00"},
           Row{std::vector<std::int32_t>{}, "00 00 00 00"}, Row{Int{5}, "00 | 00 05 00 00 00 00 00 00 00"},
           Row{std::optional<Int>{}, "00 01"}, Row{std::optional<Int>{5}, "00 00 05 00 00 00 00 00 00 00"},
           Row{std::string("abc"), "00 00 03 61 62 63"}, Row{std::string(), "00 00 00"},
           Row{std::int8_t{-2}, "00 00 FE"}, Row{std::int16_t{-2}, "00 00 FE FF"},
           Row{std::uint16_t{0x1234}, "00 00 34 12"}, Row{std::int32_t{-1}, "00 00 FF FF FF FF"},
           Row{std::uint32_t{0x12345678}, "00 00 78 56 34 12"},
           Row{std::uint64_t{0x0102030405060708}, "00 00 08 07 06 05 04 03 02 01"}, Row{true, "00 00 01"},
           Row{false, "00 00 00"}, Row{1.0f, "00 00 00 00 80 3F"}, Row{-2.5, "00 00 00 00 00 00 00 00 04 C0"},
           Row{Empty{}, "01 00 00 00"},
           Row{Rect{1, 2, 3, 4}, "00 | 00 02 13"
                                 "  00 02 08 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40"
                                 "  00 02 08 00 00 00 00 00 00 08 40 00 00 00 00 00 00 10 40"});
  // Byte strings are lists of UInt8.
  bothWays(Row{Bytes{}, "00 00 00 00"}, Row{Bytes{0xAA}, "00 00 01 01 AA"},
           Row{Bytes{1, 2, 3}, "00 00 03 01 01 02 03"});
  // A writer never produces a wider element for UInt8, but a reader takes each element's first byte.
  EXPECT_EQ(decode<Bytes>(hex("00 00 02 02 01 FF 02 FF")), (Bytes{1, 2}));
  EXPECT_EQ(decode<Bytes>(hex("00 01 02 02 01 01 FF 02")), (Bytes{1, 2}));
  // The generated record omits an absent note; a note written as nil takes the nullable layout,
  // which the generated record reads as an absent optional.
  bothWays(Note{"abc", 5, std::nullopt},
           "01 02 05 63 6F 75 6E 74 04 6E 61 6D 65 | 00 00 08 04 05 00 00 00 00 00 00 00 03 61 62 63");
  EXPECT_EQ(decode<Note>(hex("01 03 05 63 6F 75 6E 74 04 6E 61 6D 65 04 6E 6F 74 65"
                             "| 01 00 04 08 04 05 00 00 00 00 00 00 00 03 61 62 63")),
            (Note{"abc", 5, std::nullopt}));
}

// Each varint is written as its bytes and read back from an offset, leaving the byte after it.
TEST(WireVectors, VarintsAndStrings) {
  const std::pair<std::uint64_t, const char*> varints[] = {
      {0, "00"},
      {5, "05"},
      {127, "7F"},
      {128, "80 01"},
      {300, "AC 02"},
      {16383, "FF 7F"},
      {16384, "80 80 01"},
      {(1ULL << 56) - 1, "FF FF FF FF FF FF FF 7F"},
      {1ULL << 56, "80 80 80 80 80 80 80 80 01"},
      {(1ULL << 63) - 1, "FF FF FF FF FF FF FF FF 7F"},
  };
  for (const auto& [value, bytes] : varints) {
    Bytes out{0x99};
    appendVarint(out, value);
    EXPECT_EQ(toHex(out), toHex(hex("99" + std::string(bytes)))) << value;
    out.push_back(0x99);  // not part of the varint
    std::size_t offset = 1;
    EXPECT_EQ(readVarint(out, offset), value);
    EXPECT_EQ(offset, out.size() - 1);
  }
  for (const char* bad : {"FF FF FF FF FF FF FF FF FF 01", "FF FF FF FF FF FF FF FF 80 00", "80", "", "FF FF"}) {
    std::size_t offset = 0;
    EXPECT_EQ(producerError([&] { readVarint(hex(bad), offset); }), err(Kind::truncated)) << bad;
  }
  Bytes out;
  for (const char* text : {"abc", "", "\xC3\xA9"}) appendString(out, text);
  EXPECT_EQ(toHex(out), "03 61 62 63 00 02 C3 A9");
  std::size_t offset = 0;
  for (const char* text : {"abc", "", "\xC3\xA9"}) EXPECT_EQ(readString(out, offset, 0), text);
  EXPECT_EQ(offset, out.size());
}

TEST(WireVectors, RawValueEnumsAreTheirRawValue) {
  bothWays(Direction::down, "00 00 FF FF");
  bothWays(std::vector<Direction>{Direction::up, Direction::down}, "00 00 02 02 01 00 FF FF");
  using Moves = std::map<std::string, Direction>;
  // An unknown raw value is not a byte-level fault.
  EXPECT_THROW(decode<Direction>(hex("00 00 02 00")), DataCorrupted);
  EXPECT_THROW(decode<Moves>(hex("01 01 09 64 69 72 65 63 74 69 6F 6E 00 00 02 07 00")), DataCorrupted);
}

}  // namespace
}  // namespace marlinax::codec::testing
