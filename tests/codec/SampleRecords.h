#pragma once

// Records for round trips and decoder fuzzing: every built-in coding, nesting,
// optionals at every level, maps and an enum with gaps around its raw values.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/Cod.h"

namespace marlinax::codec::testing {

enum class Tint : std::uint8_t { red = 1, green = 2, blue = 3 };

}  // namespace marlinax::codec::testing

template <>
struct marlinax::codec::RawValueEnum<marlinax::codec::testing::Tint> {
  using Raw = std::uint8_t;
  static std::optional<testing::Tint> fromRaw(Raw raw) {
    return raw >= 1 && raw <= 3 ? std::optional(static_cast<testing::Tint>(raw)) : std::nullopt;
  }
  static Raw toRaw(testing::Tint t) { return static_cast<Raw>(t); }
};

namespace marlinax::codec::testing {

struct Leaf {
  std::int8_t i8 = 0;
  std::int16_t i16 = 0;
  std::int32_t i32 = 0;
  Int i64 = 0;
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  UInt u64 = 0;
  bool flag = false;
  float f = 0;
  double d = 0;
  std::string text;
  std::optional<std::string> maybeText;
  Bytes bytes;
  std::optional<Tint> tint;
  static constexpr auto codingFields() {
    return std::make_tuple(
        field("i8", &Leaf::i8), field("i16", &Leaf::i16), field("i32", &Leaf::i32), field("i64", &Leaf::i64),
        field("u8", &Leaf::u8), field("u16", &Leaf::u16), field("u32", &Leaf::u32), field("u64", &Leaf::u64),
        field("flag", &Leaf::flag), field("f", &Leaf::f), field("d", &Leaf::d), field("text", &Leaf::text),
        field("maybeText", &Leaf::maybeText), field("bytes", &Leaf::bytes), field("tint", &Leaf::tint));
  }
  friend bool operator==(const Leaf&, const Leaf&) = default;
};

struct Node {
  std::string label;
  std::vector<Leaf> leaves;
  std::map<std::string, std::vector<std::optional<Int>>> table;
  std::optional<Rect> frame;
  std::vector<std::optional<Leaf>> maybeLeaves;
  std::vector<Node> children;
  std::vector<std::string> words;
  static constexpr auto codingFields() {
    return std::make_tuple(field("label", &Node::label), field("leaves", &Node::leaves), field("table", &Node::table),
                           field("frame", &Node::frame), field("maybeLeaves", &Node::maybeLeaves),
                           field("children", &Node::children), field("words", &Node::words));
  }
  friend bool operator==(const Node&, const Node&) = default;
};

}  // namespace marlinax::codec::testing
