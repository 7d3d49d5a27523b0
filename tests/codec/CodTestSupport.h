#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "codec/Cod.h"

namespace marlinax::codec::testing {

// "01 0a FF" -> bytes; spaces and '|' are separators.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '|' || c == '\n') continue;
    int v =
        std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

inline std::string toHex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
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

inline ProducerError err(ProducerError::Kind kind) { return ProducerError(kind); }
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

struct Empty {
  static constexpr auto codingFields() { return std::tuple<>(); }
  friend bool operator==(const Empty&, const Empty&) = default;
};

}  // namespace marlinax::codec::testing

namespace marlinax::codec {
// Lets gtest print errors inside std::optional.
inline void PrintTo(const ProducerError& e, std::ostream* os) {
  *os << e.what();
  if (e.position()) *os << "(" << *e.position() << ")";
}
}  // namespace marlinax::codec
