// Container semantics of the reader: tolerance, optional handling, list positions, hostile sizes.

#include "CodTestSupport.h"

namespace marlinax::codec::testing {
namespace {

TEST(DecoderTolerance, UnknownKeysTrailingBytesAndSpareBitmapBitsAreIgnored) {
  // A record finds its key among others: "name" between "count" and "note", "count" before both.
  EXPECT_EQ(decode<Named>(encode(Note{"abc", 5, "n"})).name, "abc");
  EXPECT_EQ(decode<Counted>(encode(Note{"abc", 5, "n"})).count, 5);

  Bytes trailing = hex("01 02 05 63 6F 75 6E 74 04 6E 61 6D 65 00 00 08 04 05 00 00 00 00 00 00 00 03 61 62 63 FF FF");
  EXPECT_EQ(decode<Note>(trailing), (Note{"abc", 5, std::nullopt}));
  EXPECT_EQ(decode<Int>(hex("00 00 05 00 00 00 00 00 00 00 09")), 5);
  // Elements longer than their value: "count" is given 10 bytes, "name" runs to the end.
  EXPECT_EQ(decode<Note>(hex("01 02 05 63 6F 75 6E 74 04 6E 61 6D 65 00 00 0A 05"
                             "05 00 00 00 00 00 00 00 EE EE 03 61 62 63 EE")),
            (Note{"abc", 5, std::nullopt}));
  // Bitmap bits past the last entry are ignored.
  // Three entries, entry 1 nil; bits 3..7 set as well.
  EXPECT_EQ(decode<std::vector<std::optional<std::int8_t>>>(hex("00 | 02 03 FA 01 01 0A 0B")),
            (std::vector<std::optional<std::int8_t>>{10, std::nullopt, 11}));
  // One key, bits 1..7 set: the key is not nil.
  EXPECT_EQ((decode<std::map<std::string, std::string>>(hex("01 01 04 6E 61 6D 65 | 01 00 FE 02 01 61"))),
            (std::map<std::string, std::string>{{"name", "a"}}));
}

TEST(Reading, OptionalsInRecordsListsAndAtTheRoot) {
  // Omitted: no key. Nothing past the header is looked at.
  withRoot(hex("01 01 04 6E 61 6D 65 | 00 00 04"), [](Decoder& d) {
    auto c = d.container();
    EXPECT_FALSE(c.contains("note"));
    EXPECT_EQ(c.decodeIfPresent<std::string>("note"), std::nullopt);
    EXPECT_EQ(c.allKeys(), std::vector<std::string>{"name"});
  });
  // Written as nil.
  withRoot(hex("01 02 04 6E 61 6D 65 04 6E 6F 74 65 | 01 00 02 02 01 61"), [](Decoder& d) {
    auto c = d.container();
    EXPECT_TRUE(c.contains("note"));
    EXPECT_EQ(c.decodeIfPresent<std::string>("note"), std::nullopt);
    EXPECT_EQ(c.decode<std::optional<std::string>>("note"), std::nullopt);
    EXPECT_EQ(c.decode<std::string>("name"), "a");
    EXPECT_EQ(c.decode<std::optional<std::string>>("name"), "a");
  });
  // Lists as the list coding reads them: nil entries, sized entries, a failing entry.
  using Optionals = std::vector<std::optional<std::int8_t>>;
  EXPECT_EQ(decode<Optionals>(hex("00 | 02 04 05 01 01 07 09")), (Optionals{std::nullopt, 7, std::nullopt, 9}));
  // A nil entry then an empty list.
  using Lists = std::vector<std::optional<std::vector<std::int8_t>>>;
  EXPECT_EQ(decode<Lists>(hex("00 | 02 02 01 03 00 00 00")), (Lists{std::nullopt, std::vector<std::int8_t>{}}));
  EXPECT_EQ(decode<Bytes>(hex("00 | 00 01 01 05")), Bytes{5});
  // ["a", <invalid UTF-8>, "c"]: sizes 2, 3, 2.
  EXPECT_EQ(decodeError<std::vector<std::string>>(hex("00 | 01 03 02 03 02 01 61 02 C3 28 01 63")),
            err(Kind::invalidUTF8, 9));
  // The root single value: its nil flag.
  // Any flag other than 00 reads as nil; a direct decode skips the flag unexamined.
  EXPECT_EQ(decode<std::optional<Int>>(hex("00 05 05 00 00 00 00 00 00 00")), std::nullopt);
  EXPECT_EQ(decode<Int>(hex("00 05 05 00 00 00 00 00 00 00")), 5);
  EXPECT_EQ(decode<std::optional<Int>>(hex("00")), std::nullopt);  // no flag byte at all
  withRoot(hex("00"), [](Decoder& d) { EXPECT_TRUE(d.singleValueContainer().decodeNil()); });
  withRoot(hex("00 00"), [](Decoder& d) { EXPECT_FALSE(d.singleValueContainer().decodeNil()); });
}

TEST(HostileSizes, CountsOffsetsAndOverlapsAreBoundedByTheBytes) {
  const auto truncated = err(Kind::truncated);
  // Enormous entry counts in every layout.
  EXPECT_EQ(decodeError<std::vector<Int>>(hex("00 | 01 FF FF FF FF FF FF FF FF 7F 01")), truncated);
  EXPECT_EQ(decodeError<std::vector<std::optional<Int>>>(hex("00 | 02 FF FF FF FF FF FF FF FF 7F 00")), truncated);
  EXPECT_EQ(decodeError<Bytes>(hex("00 | 00 FF FF FF FF FF FF FF FF 7F 01 AA BB")), truncated);
  EXPECT_EQ(decodeError<std::vector<Int>>(hex("00 | 00 FF FF FF FF FF FF FF FF 7F 00")), truncated);
  EXPECT_EQ(decodeError<std::vector<std::string>>(hex("00 | 00 FF FF FF FF FF FF FF FF 7F 00")), truncated);
  // Entry 1 of a list whose element size times index overflows.
  EXPECT_EQ(decodeError<std::vector<std::uint8_t>>(hex("00 | 00 02 FF FF FF FF FF FF FF FF 7F 01")), truncated);
  // Key sizes whose running sum leaves the 64-bit range: the first key still reads, the last not.
  const Bytes huge = hex("01 03 01 61 01 62 01 63 | 00 00 FF FF FF FF FF FF FF FF 7F FF FF FF FF FF FF FF FF 7F"
                         "FF FF FF FF FF FF FF FF 7F 07");
  withRoot(huge, [](Decoder& d) {
    auto c = d.container();
    EXPECT_EQ(c.decode<std::int8_t>("a"), 7);
    EXPECT_EQ(producerError([&] { c.decode<std::int8_t>("b"); }), err(Kind::truncated));
    EXPECT_EQ(producerError([&] { c.decode<std::int8_t>("c"); }), err(Kind::truncated));
  });
  // A string length far beyond the message.
  EXPECT_EQ(decodeError<std::string>(hex("00 00 FF FF FF FF FF FF FF FF 7F 61")), truncated);
  // Overlapping elements cannot amplify a decode.
  // Entries of nullable lists run to the end of their area, so 100 entries of size 0 all read
  // the same bytes. Four such levels over one 1000-byte string would build 10^8 strings.
  auto nested = [](int levels, const Bytes& innermost) {
    Bytes message = hex("00");
    for (int i = 0; i < levels; ++i) {
      message.insert(message.end(), {0x02, 0x64});    // nullable layout, 100 entries
      message.insert(message.end(), 13 + 100, 0x00);  // no nil entries, every size 0
    }
    message.insert(message.end(), innermost.begin(), innermost.end());
    return message;
  };
  Bytes thousand = hex("E8 07");
  thousand.insert(thousand.end(), 1000, 'x');
  using Deep = std::vector<std::vector<std::vector<std::vector<std::string>>>>;
  EXPECT_EQ(decodeError<Deep>(nested(4, thousand)), err(Kind::truncated));
  // One level of it is an ordinary list of 100 equal strings.
  EXPECT_EQ(decode<std::vector<std::string>>(nested(1, hex("03 61 62 63"))), std::vector<std::string>(100, "abc"));
  // Large honest messages are well inside the budget.
  Bytes big(3 << 20, 0x5A);
  EXPECT_EQ(decode<Bytes>(encode(big)), big);
  std::vector<Note> many(20000, Note{"name", 1, "note"});
  EXPECT_EQ(decode<std::vector<Note>>(encode(many)), many);
}

}  // namespace
}  // namespace marlinax::codec::testing
