#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "codec/Cod.h"

namespace marlinax::codec {

// Lets gtest print errors inside std::optional.
inline void PrintTo(const ProducerError& e, std::ostream* os) {
  *os << e.what();
  if (e.position()) *os << "(" << *e.position() << ")";
}

namespace testing {

using Kind = ProducerError::Kind;

// "01 0a FF" -> bytes; anything but hex digits (spaces, '|') separates.
inline Bytes hex(std::string_view text) {
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  Bytes out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string toHex(const Bytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes)
    out += (out.empty() ? "" : " ") + std::string{"0123456789ABCDEF"[b >> 4]} + "0123456789ABCDEF"[b & 15];
  return out;
}

// The error a callable throws, or nullopt when it throws none.
inline std::optional<ProducerError> producerError(const std::function<void()>& f) {
  try {
    f();
  } catch (const ProducerError& e) {
    return e;
  }
  return std::nullopt;
}

inline ProducerError err(Kind kind) { return ProducerError(kind); }
inline ProducerError err(ProducerError::Kind kind, std::int64_t position) { return ProducerError(kind, position); }

template <class T>
Bytes encode(const T& value) {
  return CodEncoder().encode(value);
}

template <class T>
T decode(const Bytes& bytes) {
  return CodDecoder().decode<T>(bytes);
}

template <class T>
std::optional<ProducerError> decodeError(const Bytes& bytes) {
  return producerError([&] { decode<T>(bytes); });
}

// Each message fails to decode as T with `error` (none: decodes).
template <class T>
void expectErrors(const std::optional<ProducerError>& error, std::initializer_list<const char*> messages) {
  for (const char* message : messages) EXPECT_EQ(decodeError<T>(hex(message)), error) << message;
}

// `value` is written as `bytes`, and `bytes` read back as `value`.
template <class T>
void bothWays(const T& value, std::string_view bytes) {
  EXPECT_EQ(toHex(encode(value)), toHex(hex(bytes))) << bytes;
  EXPECT_EQ(decode<T>(hex(bytes)), value) << bytes;
}

// A value and its bytes, for tables of values of different types.
template <class T>
using Row = std::pair<T, const char*>;

// bothWays for each row.
template <class... T>
void bothWays(const Row<T>&... rows) {
  (bothWays(rows.first, std::string_view(rows.second)), ...);
}

// Runs `f` against the root decoder of `message`; what `f` throws is passed on.
inline void withRoot(const Bytes& message, const std::function<void(Decoder&)>& f) {
  DecoderSharedContext context;
  std::size_t body = context.readShapeTable(message);
  Decoder root(context, ByteView(message).subspan(body), static_cast<std::int64_t>(body), true);
  f(root);
}

// The record of the worked example: "name", "count" and an optional "note".
struct Note {
  std::string name;
  Int count = 0;
  std::optional<std::string> note;
  static constexpr auto codingFields() {
    return std::make_tuple(field("name", &Note::name), field("count", &Note::count), field("note", &Note::note));
  }
  friend bool operator==(const Note&, const Note&) = default;
};

// Records of one field.
struct Named {
  std::string name;
  static constexpr auto codingFields() { return std::make_tuple(field("name", &Named::name)); }
};

struct Counted {
  Int count = 0;
  static constexpr auto codingFields() { return std::make_tuple(field("count", &Counted::count)); }
};

struct Empty {
  static constexpr auto codingFields() { return std::tuple<>(); }
  friend bool operator==(const Empty&, const Empty&) = default;
};

}  // namespace testing
}  // namespace marlinax::codec
