// Exact byte forms of the Cod encoding, both directions.

#include <limits>

#include "CodTestSupport.h"

namespace marlinax::codec::testing {
namespace {

using Kind = ProducerError::Kind;

// Writes "note" explicitly, so an absent note is a nil key rather than a missing one.
struct ExplicitNote {
  Note note;
};

}  // namespace
}  // namespace marlinax::codec::testing

template <>
struct marlinax::codec::Coding<marlinax::codec::testing::ExplicitNote> {
  static void encode(Encoder& e, const testing::ExplicitNote& v) {
    auto& c = e.container();
    c.encode("name", v.note.name);
    c.encode("count", v.note.count);
    c.encode("note", v.note.note);
  }
  static testing::ExplicitNote decode(Decoder& d) {
    auto c = d.container();
    return {testing::Note{c.decode<std::string>("name"), c.decode<Int>("count"),
                          c.decode<std::optional<std::string>>("note")}};
  }
};

namespace marlinax::codec::testing {
namespace {

const char* const kWorkedRecord =
    "01 02 05 63 6F 75 6E 74 04 6E 61 6D 65 | 00 00 08 04 05 00 00 00 00 00 00 00 03 61 62 63";
const char* const kWorkedNullable =
    "01 03 05 63 6F 75 6E 74 04 6E 61 6D 65 04 6E 6F 74 65 | 01 00 04 08 04 05 00 00 00 00 00 00 00 03 61 62 63";

struct Empty {
  static constexpr auto codingFields() { return std::tuple<>(); }
  friend bool operator==(const Empty&, const Empty&) = default;
};

// `value` is written as `bytes`, and `bytes` read back as `value`.
template <class T>
void bothWays(const T& value, const char* bytes) {
  EXPECT_EQ(toHex(encode(value)), toHex(hex(bytes))) << bytes;
  EXPECT_EQ(decode<T>(hex(bytes)), value) << bytes;
}

TEST(WireVectors, RootValuesAndPrimitivesAreLittleEndian) {
  bothWays(std::vector<std::int32_t>{1, 2, 3}, "00 | 00 03 04 01 00 00 00 02 00 00 00 03 00 00 00");
  bothWays(std::vector<std::int32_t>{}, "00 00 00 00");
  bothWays(Int{5}, "00 | 00 05 00 00 00 00 00 00 00");
  bothWays(std::optional<Int>{}, "00 01");
  bothWays(std::optional<Int>{5}, "00 00 05 00 00 00 00 00 00 00");
  bothWays(std::string("abc"), "00 00 03 61 62 63");
  bothWays(std::string(), "00 00 00");
  bothWays(std::int8_t{-2}, "00 00 FE");
  bothWays(std::int16_t{-2}, "00 00 FE FF");
  bothWays(std::uint16_t{0x1234}, "00 00 34 12");
  bothWays(std::int32_t{-1}, "00 00 FF FF FF FF");
  bothWays(std::uint32_t{0x12345678}, "00 00 78 56 34 12");
  bothWays(std::uint64_t{0x0102030405060708}, "00 00 08 07 06 05 04 03 02 01");
  bothWays(true, "00 00 01");
  bothWays(false, "00 00 00");
  bothWays(1.0f, "00 00 00 00 80 3F");
  bothWays(-2.5, "00 00 00 00 00 00 00 00 04 C0");
  bothWays(Empty{}, "01 00 00 00");
  bothWays(Rect{1, 2, 3, 4}, "00 | 00 02 13"
                             "  00 02 08 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40"
                             "  00 02 08 00 00 00 00 00 00 08 40 00 00 00 00 00 00 10 40");
  // Byte strings are lists of UInt8.
  bothWays(Bytes{}, "00 00 00 00");
  bothWays(Bytes{0xAA}, "00 00 01 01 AA");
  bothWays(Bytes{1, 2, 3}, "00 00 03 01 01 02 03");
  // A writer never produces a wider element for UInt8, but a reader takes each element's first byte.
  EXPECT_EQ(decode<Bytes>(hex("00 00 02 02 01 FF 02 FF")), (Bytes{1, 2}));
  EXPECT_EQ(decode<Bytes>(hex("00 01 02 02 01 01 FF 02")), (Bytes{1, 2}));
}

// The generated record omits an absent note; written explicitly, a nil note takes the nullable
// layout, which the generated record reads as an absent optional.
TEST(WireVectors, WorkedRecords) {
  bothWays(Note{"abc", 5, std::nullopt}, kWorkedRecord);
  Note withNote{"abc", 5, "hi"};
  EXPECT_EQ(decode<Note>(encode(withNote)), withNote);
  EXPECT_EQ(toHex(encode(ExplicitNote{{"abc", 5, std::nullopt}})), toHex(hex(kWorkedNullable)));
  EXPECT_EQ(decode<ExplicitNote>(hex(kWorkedNullable)).note, (Note{"abc", 5, std::nullopt}));
  EXPECT_EQ(decode<Note>(hex(kWorkedNullable)), (Note{"abc", 5, std::nullopt}));
}

TEST(WireVectors, Varints) {
  struct Case {
    std::uint64_t value;
    const char* bytes;
  };
  const Case cases[] = {
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
  for (const auto& c : cases) {
    Bytes out;
    appendVarint(out, c.value);
    EXPECT_EQ(toHex(out), toHex(hex(c.bytes))) << c.value;
    Bytes in = hex(c.bytes);
    in.push_back(0x99);  // not part of the varint
    std::size_t offset = 0;
    EXPECT_EQ(readVarint(in, offset), c.value);
    EXPECT_EQ(offset, in.size() - 1);
  }
}

TEST(WireVectors, VarintRejections) {
  for (const char* bad : {"FF FF FF FF FF FF FF FF FF 01", "FF FF FF FF FF FF FF FF 80 00", "80", "", "FF FF"}) {
    Bytes in = hex(bad);
    std::size_t offset = 0;
    EXPECT_EQ(producerError([&] { readVarint(in, offset); }), err(Kind::truncated)) << bad;
  }
  // A varint is read from the given offset.
  Bytes in = hex("00 AC 02");
  std::size_t offset = 1;
  EXPECT_EQ(readVarint(in, offset), 300u);
  EXPECT_EQ(offset, 3u);
}

TEST(WireVectors, Strings) {
  Bytes out;
  appendString(out, "abc");
  appendString(out, "");
  appendString(out, "\xC3\xA9");
  EXPECT_EQ(toHex(out), "03 61 62 63 00 02 C3 A9");
  std::size_t offset = 0;
  EXPECT_EQ(readString(out, offset, 0), "abc");
  EXPECT_EQ(readString(out, offset, 0), "");
  EXPECT_EQ(readString(out, offset, 0), "\xC3\xA9");
  EXPECT_EQ(offset, out.size());
}

enum class Direction : std::int16_t { up = 1, down = -1 };

}  // namespace
}  // namespace marlinax::codec::testing

template <>
struct marlinax::codec::RawValueEnum<marlinax::codec::testing::Direction> {
  using Raw = std::int16_t;
  static std::optional<testing::Direction> fromRaw(Raw raw) {
    if (raw == 1 || raw == -1) return static_cast<testing::Direction>(raw);
    return std::nullopt;
  }
  static Raw toRaw(testing::Direction d) { return static_cast<Raw>(d); }
};

namespace marlinax::codec::testing {
namespace {

struct Move {
  Direction direction = Direction::up;
  static constexpr auto codingFields() { return std::make_tuple(field("direction", &Move::direction)); }
};

TEST(WireVectors, RawValueEnumsAreTheirRawValue) {
  bothWays(Direction::down, "00 00 FF FF");
  bothWays(std::vector<Direction>{Direction::up, Direction::down}, "00 00 02 02 01 00 FF FF");
  EXPECT_EQ(decode<Move>(encode(Move{Direction::down})).direction, Direction::down);
  // An unknown raw value is not a byte-level fault.
  EXPECT_THROW(decode<Direction>(hex("00 00 02 00")), DataCorrupted);
  EXPECT_THROW(decode<Move>(hex("01 01 09 64 69 72 65 63 74 69 6F 6E 00 00 02 07 00")), DataCorrupted);
}

}  // namespace
}  // namespace marlinax::codec::testing
