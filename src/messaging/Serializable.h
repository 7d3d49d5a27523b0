#pragma once

// How request and reply values become message bodies and back. Every value
// type has a Serialization<T> with a static serialize(const T&) -> Bytes and a
// static deserialize(ByteView) -> T; both may throw. Records with named fields
// use the Cod encoding (a fresh encoder or decoder per body, so nothing is
// shared between messages); the other forms are specialised below.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "codec/Bytes.h"
#include "codec/Cod.h"

namespace marlinax::messaging {

// The empty value: serializes to no bytes; reading it never looks at the bytes.
struct SerializableVoid {
  friend bool operator==(const SerializableVoid&, const SerializableVoid&) = default;
};

// A body that does not have the form its type needs (outside the Cod decoder's
// own errors, which are passed through as codec::ProducerError).
class SerializationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Several values written as one body: the byte length of each piece as a
// varint, in order, then the pieces back to back. The count is not written, so
// only a reader that knows the types can take a pack apart; reading one here
// is not supported and fails.
template <class... Ts>
struct SerializablePack {
  std::tuple<Ts...> values;
};

// Default: a record (or any other Cod-encodable value) as one Cod document.
template <class T>
struct Serialization {
  static Bytes serialize(const T& value) {
    codec::CodEncoder encoder;
    return encoder.encode(value);
  }
  static T deserialize(ByteView data) {
    codec::CodDecoder decoder;
    return decoder.template decode<T>(data);
  }
};

template <>
struct Serialization<SerializableVoid> {
  static Bytes serialize(const SerializableVoid&) { return {}; }
  static SerializableVoid deserialize(ByteView) { return {}; }
};

// A byte string travels as itself.
template <>
struct Serialization<Bytes> {
  static Bytes serialize(const Bytes& value) { return value; }
  static Bytes deserialize(ByteView data) { return Bytes(data.begin(), data.end()); }
};

template <class T>
Bytes serialize(const T& value) {
  return Serialization<T>::serialize(value);
}

template <class T>
T deserialize(ByteView data) {
  return Serialization<T>::deserialize(data);
}

// An optional: the byte 00 when absent, otherwise 01 followed by the value's
// own form. Any other first byte (or no byte at all) does not read.
template <class T>
struct Serialization<std::optional<T>> {
  static Bytes serialize(const std::optional<T>& value) {
    if (!value) return Bytes{0x00};
    Bytes inner = Serialization<T>::serialize(*value);
    Bytes out;
    out.reserve(inner.size() + 1);
    out.push_back(0x01);
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
  }
  static std::optional<T> deserialize(ByteView data) {
    if (data.empty()) throw SerializationError("optional value: empty body");
    if (data[0] == 0x00) return std::nullopt;
    if (data[0] != 0x01) throw SerializationError("optional value: first byte is neither 00 nor 01");
    return Serialization<T>::deserialize(data.subspan(1));
  }
};

template <class... Ts>
struct Serialization<SerializablePack<Ts...>> {
  static Bytes serialize(const SerializablePack<Ts...>& pack) {
    Bytes pieces[sizeof...(Ts) == 0 ? 1 : sizeof...(Ts)];
    std::size_t index = 0;
    std::size_t total = 0;
    std::apply(
        [&](const auto&... value) {
          ((pieces[index] = messaging::serialize(value), total += pieces[index].size(), ++index), ...);
        },
        pack.values);
    Bytes out;
    out.reserve(total + 10 * sizeof...(Ts));
    for (std::size_t i = 0; i < sizeof...(Ts); ++i) codec::appendVarint(out, pieces[i].size());
    for (std::size_t i = 0; i < sizeof...(Ts); ++i) out.insert(out.end(), pieces[i].begin(), pieces[i].end());
    return out;
  }
  static SerializablePack<Ts...> deserialize(ByteView) { throw SerializationError("a pack cannot be read back"); }
};

template <class... Ts>
SerializablePack<std::decay_t<Ts>...> makePack(Ts&&... values) {
  return SerializablePack<std::decay_t<Ts>...>{std::tuple<std::decay_t<Ts>...>(std::forward<Ts>(values)...)};
}

}  // namespace marlinax::messaging
