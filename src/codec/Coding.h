#pragma once

// How values become Cod containers: records that list their fields, and the built-in types.

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "codec/Decoder.h"
#include "codec/Encoder.h"
#include "codec/Rect.h"

namespace marlinax::codec {

// One field of a record: its wire name and the member that holds it.
template <class C, class M>
struct Field {
  std::string_view name;
  M C::*member;
};

template <class C, class M>
constexpr Field<C, M> field(std::string_view name, M C::*member) noexcept {
  return Field<C, M>{name, member};
}

// A record lists its fields once: `static constexpr auto codingFields()` returning a tuple of
// field(...) values. It is written as a keyed container; optional fields that are absent are left
// out of the shape. Records must be default-constructible.
template <class T>
concept Record = requires {
  T::codingFields();
};

// Enumerations with a raw value specialise this:
//   template <> struct RawValueEnum<E> { using Raw = ...; static std::optional<E> fromRaw(Raw); static Raw toRaw(E); };
template <class E>
struct RawValueEnum;

template <class E>
concept HasRawValue = requires {
  typename RawValueEnum<E>::Raw;
};

template <Primitive T>
struct Coding<T> {
  static void encode(Encoder& encoder, T value) { encoder.singleValueContainer().encode(value); }
  static T decode(Decoder& decoder) { return decoder.singleValueContainer().decode<T>(); }
};

template <>
struct Coding<std::string> {
  static void encode(Encoder& encoder, const std::string& value) { encoder.singleValueContainer().encode(value); }
  static std::string decode(Decoder& decoder) { return decoder.singleValueContainer().decode<std::string>(); }
};

// Present: the wrapped value's own encoding; absent: nil (at the top level the nil flag 0x01).
template <class T>
struct Coding<std::optional<T>> {
  static void encode(Encoder& encoder, const std::optional<T>& value) {
    auto& c = encoder.singleValueContainer();
    if (value)
      c.encode(*value);
    else
      c.encodeNil();
  }
  static std::optional<T> decode(Decoder& decoder) {
    auto c = decoder.singleValueContainer();
    if (c.decodeNil()) return std::nullopt;
    return c.template decode<T>();
  }
};

// A list; Bytes (a list of UInt8) and other lists of fixed-width numbers are copied in bulk.
template <class T, class Allocator>
struct Coding<std::vector<T, Allocator>> {
  static constexpr bool bulk = Primitive<T> && !std::is_same_v<T, bool>;

  static void encode(Encoder& encoder, const std::vector<T, Allocator>& values) {
    auto& c = encoder.unkeyedContainer();
    if constexpr (bulk) {
      c.encodeContents(std::span<const T>(values));
    } else {
      for (const auto& value : values) c.encode(static_cast<const T&>(value));
    }
  }

  static std::vector<T, Allocator> decode(Decoder& decoder) {
    auto c = decoder.unkeyedContainer();
    std::vector<T, Allocator> out;
    if constexpr (bulk) {
      if (auto run = c.takeRun(sizeof(T))) {
        if constexpr (sizeof(T) == 1) {
          out.assign(reinterpret_cast<const T*>(run->data()), reinterpret_cast<const T*>(run->data() + run->size()));
        } else {
          out.resize(run->size() / sizeof(T));
          for (std::size_t i = 0; i < out.size(); ++i) out[i] = TypeConvert<T>::load(run->data() + i * sizeof(T));
        }
        return out;
      }
    }
    // The entry count is not trusted for a reservation; every decoded entry was really there.
    while (!c.isAtEnd()) out.push_back(c.template decode<T>());
    return out;
  }
};

// A dictionary with string keys: a keyed container whose keys are the dictionary's keys.
template <class T, class Compare, class Allocator>
struct Coding<std::map<std::string, T, Compare, Allocator>> {
  using Map = std::map<std::string, T, Compare, Allocator>;
  static void encode(Encoder& encoder, const Map& values) {
    auto& c = encoder.container();
    for (const auto& [key, value] : values) c.encode(key, value);
  }
  static Map decode(Decoder& decoder) {
    auto c = decoder.container();
    Map out;
    for (auto& key : c.allKeys()) {
      T value = c.template decode<T>(key);
      out.emplace(std::move(key), std::move(value));
    }
    return out;
  }
};

// [[x, y], [width, height]]
template <>
struct Coding<Rect> {
  static void encode(Encoder& encoder, const Rect& rect) {
    auto& c = encoder.unkeyedContainer();
    auto& origin = c.nestedUnkeyedContainer();
    origin.encode(rect.x);
    origin.encode(rect.y);
    auto& size = c.nestedUnkeyedContainer();
    size.encode(rect.width);
    size.encode(rect.height);
  }
  static Rect decode(Decoder& decoder) {
    auto c = decoder.unkeyedContainer();
    Rect rect;
    auto origin = c.nestedUnkeyedContainer();
    rect.x = origin.decode<double>();
    rect.y = origin.decode<double>();
    auto size = c.nestedUnkeyedContainer();
    rect.width = size.decode<double>();
    rect.height = size.decode<double>();
    return rect;
  }
};

// The raw value as a single value. A raw value that names no case throws DataCorrupted.
template <HasRawValue E>
struct Coding<E> {
  using Raw = typename RawValueEnum<E>::Raw;
  static void encode(Encoder& encoder, E value) {
    encoder.singleValueContainer().encode(RawValueEnum<E>::toRaw(value));
  }
  static E decode(Decoder& decoder) {
    Raw raw = decoder.singleValueContainer().decode<Raw>();
    std::optional<E> value = RawValueEnum<E>::fromRaw(raw);
    if (!value) throw DataCorrupted("Cannot initialize enumeration from an unknown raw value");
    return *value;
  }
};

template <Record T>
struct Coding<T> {
  static void encode(Encoder& encoder, const T& value) {
    auto& c = encoder.container();
    std::apply([&](const auto&... fields) { (encodeField(c, value, fields), ...); }, T::codingFields());
  }

  static T decode(Decoder& decoder) {
    auto c = decoder.container();
    T value{};
    std::apply([&](const auto&... fields) { (decodeField(c, value, fields), ...); }, T::codingFields());
    return value;
  }

 private:
  template <class M>
  static void encodeField(KeyedEncodingContainer& c, const T& value, const Field<T, M>& f) {
    if constexpr (isOptional<M>)
      c.encodeIfPresent(f.name, value.*(f.member));
    else
      c.encode(f.name, value.*(f.member));
  }

  template <class M>
  static void decodeField(const KeyedDecodingContainer& c, T& value, const Field<T, M>& f) {
    if constexpr (isOptional<M>)
      value.*(f.member) = c.decodeIfPresent<typename M::value_type>(f.name);
    else
      value.*(f.member) = c.decode<M>(f.name);
  }
};

}  // namespace marlinax::codec
