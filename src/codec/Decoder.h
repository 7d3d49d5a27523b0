#pragma once

// The reading half of the Cod encoding. Containers parse their header once when requested and
// keep only start offsets; element bytes are sub-ranges of the one message buffer, read when asked.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Bytes.h"
#include "codec/Encoder.h"  // Coding, UserInfo, isOptional
#include "codec/ProducerError.h"
#include "codec/TypeConvert.h"
#include "codec/Varint.h"

namespace marlinax::codec {

class Decoder;
class KeyedDecodingContainer;
class UnkeyedDecodingContainer;
class SingleValueDecodingContainer;

// One per message: the shape table and the user info.
class DecoderSharedContext {
 public:
  struct Shape {
    std::vector<std::string> keys;     // in table order
    std::vector<std::uint32_t> byKey;  // indices into `keys`, sorted by key, for lookup
    // The index of `key` in `keys`.
    std::optional<std::size_t> indexOf(std::string_view key) const noexcept;
  };

  explicit DecoderSharedContext(UserInfo userInfo = {}) : userInfo_(std::move(userInfo)) {}

  // Parses the shape table at the front of `message`; returns the offset of the body.
  std::size_t readShapeTable(ByteView message);

  const Shape* shape(std::uint64_t id) const noexcept {
    return id < shapes_.size() ? &shapes_[static_cast<std::size_t>(id)] : nullptr;
  }
  std::size_t shapeCount() const noexcept { return shapes_.size(); }
  const UserInfo& userInfo() const noexcept { return userInfo_; }

  // Elements of keyed containers and of nullable lists run to the end of their area, so hostile
  // input can point many entries at the same bytes and make a small message decode into a huge
  // value (exponentially so when nested). Every header parsed, entry taken and value built is
  // charged against a budget proportional to the message size; a message the encoder wrote
  // decodes every byte about once and stays far below it. Exceeding it reports truncated.
  void charge(std::uint64_t units) const {
    if (units > budget_) throw ProducerError::truncated();
    budget_ -= units;
  }

 private:
  UserInfo userInfo_;
  std::vector<Shape> shapes_;
  mutable std::uint64_t budget_ = 0;
};

// Decodes a value of type T from element bytes starting at message offset `base`.
template <class T>
T decodeElement(const DecoderSharedContext& context, ByteView bytes, std::int64_t base);

class Decoder {
 public:
  // `base` is the message offset of data[0]; it makes error positions message-relative.
  Decoder(const DecoderSharedContext& context, ByteView data, std::int64_t base, bool topLevel) noexcept
      : context_(&context), data_(data), base_(base), topLevel_(topLevel) {}

  // Each call parses the header anew.
  KeyedDecodingContainer container() const;
  UnkeyedDecodingContainer unkeyedContainer() const;
  SingleValueDecodingContainer singleValueContainer() const noexcept;

  bool topLevel() const noexcept { return topLevel_; }
  std::vector<std::string> codingPath() const { return {}; }
  const UserInfo& userInfo() const noexcept { return context_->userInfo(); }
  const DecoderSharedContext& sharedContext() const noexcept { return *context_; }
  ByteView data() const noexcept { return data_; }
  std::int64_t base() const noexcept { return base_; }

 private:
  const DecoderSharedContext* context_;
  ByteView data_;
  std::int64_t base_;
  bool topLevel_;
};

class SingleValueDecodingContainer {
 public:
  SingleValueDecodingContainer(const DecoderSharedContext& context, ByteView data, std::int64_t base,
                               bool topLevel) noexcept
      : context_(&context), data_(data), base_(base), topLevel_(topLevel) {}

  // Below the top level always false: nil there lives in the parent's nil bitmap. At the top
  // level the nil flag: 0x00 present; 0x01, any other value, or no byte at all, nil.
  bool decodeNil() const noexcept {
    if (!topLevel_) return false;
    return data_.empty() || data_[0] != 0x00;
  }

  // At the top level the nil flag byte is skipped unexamined.
  template <class T>
  T decode() const {
    if (!topLevel_) return decodeElement<T>(*context_, data_, base_);
    if (data_.empty()) throw ProducerError::truncated();
    return decodeElement<T>(*context_, data_.subspan(1), base_ + 1);
  }

  const DecoderSharedContext& sharedContext() const noexcept { return *context_; }

 private:
  const DecoderSharedContext* context_;
  ByteView data_;
  std::int64_t base_;
  bool topLevel_;
};

class KeyedDecodingContainer {
 public:
  // Parses a keyed container header from `data` (message offset `base`).
  KeyedDecodingContainer(const DecoderSharedContext& context, ByteView data, std::int64_t base);

  // Whether the key is in the shape, nil or not.
  bool contains(std::string_view key) const noexcept { return shape_->indexOf(key).has_value(); }
  // Every key of the shape, in no particular order.
  std::vector<std::string> allKeys() const { return shape_->keys; }
  bool isNullable() const noexcept { return nullable_; }

  // True exactly when the key's value is nil. A key that is not in the container is not nil
  // either (callers ask `contains` first).
  bool decodeNil(std::string_view key) const noexcept {
    if (!nullable_) return false;
    auto index = shape_->indexOf(key);
    return index && offsets_[*index] == kNil;
  }

  // A missing key throws unknownKey; a nil value gives nullopt for an optional T and throws
  // invalidOptional otherwise.
  template <class T>
  T decode(std::string_view key) const {
    std::size_t index = indexOf(key);
    if (offsets_[index] == kNil) {
      if constexpr (isOptional<T>)
        return T{};
      else
        throw ProducerError(ProducerError::Kind::invalidOptional);
    }
    Element e = element(index);
    return decodeElement<T>(*context_, e.bytes, e.base);
  }

  // Nil unless the key is present with a non-nil value.
  template <class T>
  std::optional<T> decodeIfPresent(std::string_view key) const {
    auto index = shape_->indexOf(key);
    if (!index || offsets_[*index] == kNil) return std::nullopt;
    Element e = element(*index);
    return decodeElement<T>(*context_, e.bytes, e.base);
  }

  // An absent key and a nil value both throw unknownKey here.
  KeyedDecodingContainer nestedContainer(std::string_view key) const;
  UnkeyedDecodingContainer nestedUnkeyedContainer(std::string_view key) const;
  Decoder superDecoder(std::string_view key) const;
  Decoder superDecoder() const { return superDecoder("super"); }

  const DecoderSharedContext& sharedContext() const noexcept { return *context_; }

 private:
  static constexpr std::uint64_t kNil = std::numeric_limits<std::uint64_t>::max();

  std::size_t indexOf(std::string_view key) const;
  std::size_t presentIndexOf(std::string_view key) const;  // unknownKey for nil too
  struct Element {
    ByteView bytes;     // from the key's offset to the end of the element area
    std::int64_t base;  // message offset of bytes[0]
  };
  Element element(std::size_t index) const;  // truncated when the offset lies past the area

  const DecoderSharedContext* context_;
  const DecoderSharedContext::Shape* shape_ = nullptr;
  ByteView area_;
  std::int64_t areaBase_ = 0;
  bool nullable_ = false;
  std::vector<std::uint64_t> offsets_;  // per key of the shape; kNil for nil values
};

class UnkeyedDecodingContainer {
 public:
  enum class Layout : std::uint8_t { homogenouslySized, hetrogenous, nullable };

  // Parses an unkeyed container header from `data` (message offset `base`).
  UnkeyedDecodingContainer(const DecoderSharedContext& context, ByteView data, std::int64_t base);

  std::uint64_t count() const noexcept { return indexCount_; }
  bool isAtEnd() const noexcept { return currentIndex_ == indexCount_; }
  std::int64_t currentIndex() const noexcept { return static_cast<std::int64_t>(currentIndex_); }
  Layout layout() const noexcept { return layout_; }

  // Only the nullable layout has nil entries; there a nil entry is consumed, a non-nil one stays
  // current. Reading past the last entry, here and below, throws truncated.
  bool decodeNil();

  // Consumes the current entry, also when decoding it fails.
  template <class T>
  T decode() {
    Entry e = take();
    if (e.nil) {
      if constexpr (isOptional<T>)
        return T{};
      else
        throw ProducerError(ProducerError::Kind::invalidOptional);
    }
    return decodeElement<T>(*context_, e.bytes, e.base);
  }

  template <class T>
  std::optional<T> decodeIfPresent() {
    if (isAtEnd() || decodeNil()) return std::nullopt;
    return decode<T>();
  }

  // Each consumes the current entry; a nil entry throws invalidOptional.
  KeyedDecodingContainer nestedContainer();
  UnkeyedDecodingContainer nestedUnkeyedContainer();
  Decoder superDecoder();

  // Fast path for lists of fixed-width primitives: when the remaining entries are all exactly
  // `width` bytes long, back to back and present, consumes them and returns their bytes.
  std::optional<ByteView> takeRun(std::size_t width);

  const DecoderSharedContext& sharedContext() const noexcept { return *context_; }

 private:
  struct Entry {
    ByteView bytes;
    std::int64_t base = 0;
    bool nil = false;
  };
  Entry take();
  Entry takePresent();

  const DecoderSharedContext* context_;
  ByteView area_;
  std::int64_t areaBase_ = 0;
  Layout layout_ = Layout::homogenouslySized;
  std::uint64_t indexCount_ = 0;
  std::uint64_t currentIndex_ = 0;
  std::uint64_t elementSize_ = 0;       // homogenouslySized
  std::vector<std::uint64_t> offsets_;  // hetrogenous: one per entry; nullable: one per non-nil entry
  ByteView nilBitmap_;                  // nullable
  std::uint64_t presentBefore_ = 0;     // nullable: non-nil entries before currentIndex_
};

inline SingleValueDecodingContainer Decoder::singleValueContainer() const noexcept {
  return SingleValueDecodingContainer(*context_, data_, base_, topLevel_);
}

template <class T>
T decodeElement(const DecoderSharedContext& context, ByteView bytes, std::int64_t base) {
  if constexpr (Primitive<T>) {
    context.charge(TypeConvert<T>::width);
    return TypeConvert<T>::fromData(bytes, base);
  } else if constexpr (std::is_same_v<T, std::string>) {
    std::size_t offset = 0;
    std::string value = readString(bytes, offset, base);
    context.charge(offset);
    return value;
  } else {
    Decoder nested(context, bytes, base, false);
    return Coding<T>::decode(nested);
  }
}

// Reads one Cod message back into a value of the named type.
class CodDecoder {
 public:
  using SharedContext = DecoderSharedContext;
  using Decoder = codec::Decoder;
  using KeyedContainer = KeyedDecodingContainer;
  using UnkeyedContainer = UnkeyedDecodingContainer;
  using SingleValueContainer = SingleValueDecodingContainer;

  // Copied into each message's shared context.
  UserInfo userInfo;

  // Throws ProducerError for malformed input. Bytes after the value are ignored.
  template <class T>
  T decode(ByteView message) const {
    SharedContext context(userInfo);
    std::size_t bodyStart = context.readShapeTable(message);
    Decoder root(context, message.subspan(bodyStart), static_cast<std::int64_t>(bodyStart), true);
    return Coding<T>::decode(root);
  }
};

}  // namespace marlinax::codec
