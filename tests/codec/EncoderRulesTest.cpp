// Shape numbering, layout choice and the obligations of encoding routines.

#include "CodTestSupport.h"

namespace marlinax::codec {
namespace testing {
// A value written by the given encoding routine.
struct Written {
  void (*write)(Encoder&);
};
}  // namespace testing

template <>
struct Coding<testing::Written> {
  static void encode(Encoder& e, const testing::Written& v) { v.write(e); }
  static testing::Written decode(Decoder&) { return {}; }
};
}  // namespace marlinax::codec

namespace marlinax::codec::testing {
namespace {

struct Inner {
  std::int32_t a = 0;
  static constexpr auto codingFields() { return std::make_tuple(field("a", &Inner::a)); }
  friend bool operator==(const Inner&, const Inner&) = default;
};

struct Outer {
  Inner inner;
  std::int8_t z = 0;
  static constexpr auto codingFields() { return std::make_tuple(field("z", &Outer::z), field("inner", &Outer::inner)); }
};

using Shapes = std::vector<std::vector<std::string>>;

// The shape table of a message, as key lists by ID.
Shapes shapesOf(const Bytes& message) {
  DecoderSharedContext context;
  context.readShapeTable(message);
  Shapes out;
  for (std::size_t i = 0; i < context.shapeCount(); ++i) out.push_back(context.shape(i)->keys);
  return out;
}

TEST(ShapeNumbering, StoredRecordsBeforeTheirParentLazyChildrenAfterKeysSortedByteWise) {
  EXPECT_EQ(toHex(encode(Outer{Inner{7}, 1})), toHex(hex("02 01 01 61 02 05 69 6E 6E 65 72 01 7A"
                                                         "| 00 01 07 01 00 00 04 07 00 00 00 01")));
  // Siblings of one type share a shape, however deep.
  EXPECT_EQ(shapesOf(encode(std::vector<Outer>{{}, {}, {}})), (Shapes{{"a"}, {"inner", "z"}}));
  EXPECT_EQ(shapesOf(encode(std::vector<std::vector<Inner>>{{{}, {}}, {{}}})), (Shapes{{"a"}}));
  // An empty keyed container registers the empty shape.
  bothWays(std::map<std::string, Empty>{{"e", {}}}, "02 00 01 01 65 | 00 01 02 00 00");
  // Lazily finished children get higher IDs.
  // Eager record first, then the parent, then its lazy children in sorted key order ("m" before "n").
  const Written lazy{[](Encoder& e) {
    auto& c = e.container();
    c.encode("x", Inner{1});
    c.nestedContainer("n").encode("y", std::int8_t{2});
    c.nestedUnkeyedContainer("m").nestedContainer().encode("w", std::int8_t{3});
  }};
  EXPECT_EQ(shapesOf(encode(lazy)), (Shapes{{"a"}, {"m", "n", "x"}, {"w"}, {"y"}}));
  const Bytes super = encode(Written{[](Encoder& e) {
    auto& c = e.container();
    c.encode("x", std::int8_t{1});
    c.superEncoder().container().encode("q", std::int8_t{4});
  }});
  EXPECT_EQ(shapesOf(super), (Shapes{{"super", "x"}, {"q"}}));
  withRoot(super, [](Decoder& d) {
    auto c = d.container();
    EXPECT_EQ(c.decode<std::int8_t>("x"), 1);
    EXPECT_EQ(c.superDecoder().container().decode<std::int8_t>("q"), 4);
  });
  // Nested containers created against key order; the second under "b" replaces the first.
  const Written reversed{[](Encoder& e) {
    auto& c = e.container();
    c.nestedContainer("b").encode("bb", std::int8_t{1});
    c.nestedContainer("a").encode("aa", std::int8_t{1});
    c.nestedContainer("b").encode("bc", std::int8_t{1});
  }};
  EXPECT_EQ(shapesOf(encode(reversed)), (Shapes{{"a", "b"}, {"aa"}, {"bc"}}));
  // Shapes are sorted byte-wise.
  std::map<std::string, Int> m{{"note", 1}, {"Name", 2}, {"count", 3}, {"name", 4}};
  EXPECT_EQ(shapesOf(encode(m)), (Shapes{{"Name", "count", "name", "note"}}));
  // Bytes above 0x7F sort after ASCII.
  EXPECT_EQ(shapesOf(encode(std::map<std::string, Int>{{"\xC3\xA9", 1}, {"z", 2}})), (Shapes{{"z", "\xC3\xA9"}}));
}

TEST(Layouts, ListLayoutsRunsAndNils) {
  using Optionals = std::vector<std::optional<std::int8_t>>;
  bothWays(Row{std::vector<std::string>{"ab", "cd"}, "00 00 02 03 02 61 62 02 63 64"},
           Row{std::vector<std::string>{"abc"}, "00 00 01 04 03 61 62 63"},
           Row{std::vector<std::string>{"a", "bc"}, "00 01 02 02 03 01 61 02 62 63"},
           Row{Optionals{std::nullopt, std::nullopt}, "00 02 02 03"},
           Row{std::vector<std::vector<std::int8_t>>{{}, {}}, "00 00 02 03 00 00 00 00 00 00"},
           // One nil among eight and nine.
           Row{Optionals{1, 2, 3, std::nullopt, 5, 6, 7, 8}, "00 02 08 08 01 01 01 01 01 01 01 01 02 03 05 06 07 08"},
           Row{Optionals{1, 2, 3, 4, 5, 6, 7, 8, std::nullopt},
               "00 02 09 00 01 01 01 01 01 01 01 01 01 01 02 03 04 05 06 07 08"},
           Row{std::vector<std::int64_t>{-1, 0, 1LL << 40},
               "00 00 03 08 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00"},
           Row{std::vector<bool>{true, false, true}, "00 00 03 01 01 00 01"});
  // Runs of primitives match element by element encoding.
  // 1, 2 as a run, then nil, then 3: the nullable layout with a size per non-nil entry.
  const Written mixedRun{[](Encoder& e) {
    auto& u = e.unkeyedContainer();
    const std::int32_t run[] = {1, 2};
    u.encodeContents(std::span<const std::int32_t>(run));
    u.encodeNil();
    u.encode(std::int32_t{3});
    EXPECT_EQ(u.count(), 4u);
  }};
  EXPECT_EQ(toHex(encode(mixedRun)), "00 02 04 04 04 04 04 01 00 00 00 02 00 00 00 03 00 00 00");
  // Nil in single values and at the top.
  const Written nilValue{[](Encoder& e) { e.singleValueContainer().encodeNil(); }};
  EXPECT_EQ(toHex(encode(nilValue)), "00 01");
  // Below the top level a nil single value is the element 01.
  EXPECT_EQ(toHex(encode(std::vector<Written>(2, nilValue))), "00 00 02 01 01 01");
  // A present optional record at the top: nil flag 00, then the keyed container.
  bothWays(std::optional<Inner>(Inner{7}), "01 01 01 61 00 00 00 04 07 00 00 00");
  EXPECT_EQ(decode<std::optional<Inner>>(hex("01 01 01 61 01")), std::nullopt);
  // An optional inside a record field written through the generic encode: the nil bit.
  bothWays(std::map<std::string, std::optional<Int>>{{"k", std::nullopt}}, "01 01 01 6B 01 00 01");
}

// Breaking an encoding obligation stops the program.
TEST(EncoderObligationsDeathTest, MisuseStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<void (*)(Encoder&), const char*> misuses[] = {
      {[](Encoder& e) {
         e.container();
         e.unkeyedContainer();
       },
       "second container"},
      {[](Encoder& e) {
         auto& c = e.singleValueContainer();
         c.encode(1);
         c.encode(2);
       },
       "second value"},
      {[](Encoder& e) {
         auto& c = e.container();
         c.encode("k", 1);
         c.encode("k", 2);
       },
       "encoded twice"},
      {[](Encoder& e) {
         auto& c = e.container();
         c.encode("k", 1);
         c.encodeNil("k");
       },
       "encoded twice"},
      {[](Encoder&) {}, "without asking for a container"},
      {[](Encoder& e) { e.singleValueContainer(); }, "without a value"},
      {[](Encoder& e) { e.unkeyedContainer().superEncoder(); }, "without asking for a container"},
      // Past the size where each key is checked at once: the repeat is caught when finishing.
      {[](Encoder& e) {
         auto& c = e.container();
         for (int i = 0; i < 40; ++i) c.encode("k" + std::to_string(i), i);
         c.encode("k7", 0);
       },
       "encoded twice"},
  };
  for (const auto& [write, message] : misuses) EXPECT_DEATH(encode(Written{write}), message);
  EXPECT_DEATH(encode(std::vector<Written>(1, Written{[](Encoder&) {}})), "without asking for a container");
}

}  // namespace
}  // namespace marlinax::codec::testing
