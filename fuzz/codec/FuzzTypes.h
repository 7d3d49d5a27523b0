#pragma once

// Record types the codec fuzzer decodes: every built-in coding, nesting, optionals at every
// level, and a hand-written coding that drives the container interface directly.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/Cod.h"

namespace marlinax::codec::fuzz {

enum class Tint : std::uint8_t { red = 1, green = 2, blue = 3 };

struct Leaf {
  std::int8_t i8 = 0;
  std::int16_t i16 = 0;
  std::uint32_t u32 = 0;
  Int i64 = 0;
  bool flag = false;
  float f = 0;
  double d = 0;
  std::string text;
  std::optional<std::string> maybeText;
  Bytes bytes;
  std::optional<Tint> tint;
  static constexpr auto codingFields() {
    return std::make_tuple(field("i8", &Leaf::i8), field("i16", &Leaf::i16), field("u32", &Leaf::u32),
                           field("i64", &Leaf::i64), field("flag", &Leaf::flag), field("f", &Leaf::f),
                           field("d", &Leaf::d), field("text", &Leaf::text), field("maybeText", &Leaf::maybeText),
                           field("bytes", &Leaf::bytes), field("tint", &Leaf::tint));
  }
};

struct Node {
  std::string label;
  std::vector<Leaf> leaves;
  std::map<std::string, std::vector<std::optional<Int>>> table;
  std::optional<Rect> frame;
  std::vector<std::optional<Leaf>> maybeLeaves;
  std::vector<Node> children;
  static constexpr auto codingFields() {
    return std::make_tuple(field("label", &Node::label), field("leaves", &Node::leaves), field("table", &Node::table),
                           field("frame", &Node::frame), field("maybeLeaves", &Node::maybeLeaves),
                           field("children", &Node::children));
  }
};

// Reads through nested containers, super-decoders and nil checks by hand; writes the same shape.
struct Manual {
  Int a = 0;
  std::vector<std::optional<std::string>> list;
  std::optional<double> inner;
  std::vector<std::uint16_t> superValues;
};

}  // namespace marlinax::codec::fuzz

template <>
struct marlinax::codec::RawValueEnum<marlinax::codec::fuzz::Tint> {
  using Raw = std::uint8_t;
  static std::optional<fuzz::Tint> fromRaw(Raw raw) {
    if (raw >= 1 && raw <= 3) return static_cast<fuzz::Tint>(raw);
    return std::nullopt;
  }
  static Raw toRaw(fuzz::Tint t) { return static_cast<Raw>(t); }
};

template <>
struct marlinax::codec::Coding<marlinax::codec::fuzz::Manual> {
  static void encode(Encoder& e, const fuzz::Manual& m) {
    auto& c = e.container();
    c.encode("a", m.a);
    auto& list = c.nestedUnkeyedContainer("list");
    for (const auto& s : m.list) list.encode(s);
    auto& inner = c.nestedContainer("inner");
    if (m.inner) inner.encode("value", *m.inner);
    auto& values = c.superEncoder().unkeyedContainer();
    for (auto v : m.superValues) values.encode(v);
  }

  static fuzz::Manual decode(Decoder& d) {
    fuzz::Manual m;
    auto c = d.container();
    m.a = c.decode<Int>("a");
    auto list = c.nestedUnkeyedContainer("list");
    while (!list.isAtEnd()) {
      if (list.decodeNil())
        m.list.push_back(std::nullopt);
      else
        m.list.push_back(list.decode<std::string>());
    }
    auto inner = c.nestedContainer("inner");
    if (inner.contains("value") && !inner.decodeNil("value")) m.inner = inner.decode<double>("value");
    auto values = c.superDecoder().unkeyedContainer();
    while (!values.isAtEnd()) {
      if (auto v = values.decodeIfPresent<std::uint16_t>()) m.superValues.push_back(*v);
    }
    return m;
  }
};
