#pragma once

// Record types the codec fuzzer decodes: the round-trip tests' records, and a hand-written
// coding that drives the container interface directly.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SampleRecords.h"
#include "codec/Cod.h"

namespace marlinax::codec::fuzz {

using testing::Leaf;
using testing::Node;

// Reads through nested containers, super-decoders and nil checks by hand; writes the same shape.
struct Manual {
  Int a = 0;
  std::vector<std::optional<std::string>> list;
  std::optional<double> inner;
  std::vector<std::uint16_t> superValues;
};

}  // namespace marlinax::codec::fuzz

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
