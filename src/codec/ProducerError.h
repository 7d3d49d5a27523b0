#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>

namespace marlinax::codec {

// The decoder's only error type. The first four kinds carry the byte offset, counted from the
// first byte of the whole message, that the error points at.
class ProducerError : public std::exception {
 public:
  enum class Kind {
    invalidMetadata,
    invalidShapeID,
    invalidBool,
    invalidUTF8,
    truncated,
    duplicateKeys,
    unknownKey,
    invalidOptional,
  };

  // For the kinds without a position.
  explicit ProducerError(Kind kind) noexcept : kind_(kind) {}
  // For the four positioned kinds.
  ProducerError(Kind kind, std::int64_t position) noexcept : kind_(kind), position_(position) {}

  static ProducerError truncated() noexcept { return ProducerError(Kind::truncated); }

  Kind kind() const noexcept { return kind_; }
  std::optional<std::int64_t> position() const noexcept { return position_; }

  // The error carries no message text; this is the kind's name, for logs.
  const char* what() const noexcept override;

  friend bool operator==(const ProducerError& a, const ProducerError& b) noexcept {
    return a.kind_ == b.kind_ && a.position_ == b.position_;
  }

 private:
  Kind kind_;
  std::optional<std::int64_t> position_;
};

const char* toString(ProducerError::Kind kind) noexcept;

// A raw value that names no case of an enumeration. Deliberately not a ProducerError: the byte
// form was fine, the value is not.
class DataCorrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace marlinax::codec
