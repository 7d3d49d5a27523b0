#pragma once

// The writing half of the Cod encoding. Value types describe themselves through Coding<T>
// (see "codec/Coding.h"); the classes here are the containers their encoding routines fill.

#include <any>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "codec/Bytes.h"
#include "codec/TypeConvert.h"
#include "codec/Varint.h"

namespace marlinax::codec {

// How a value type is encoded and decoded. Specialised for built-in types in "codec/Coding.h";
// a type with a custom encoding specialises it:
//   template <> struct Coding<T> { static void encode(Encoder&, const T&); static T decode(Decoder&); };
template <class T>
struct Coding;

using UserInfo = std::map<std::string, std::any, std::less<>>;

template <class T>
inline constexpr bool isOptional = false;
template <class T>
inline constexpr bool isOptional<std::optional<T>> = true;

// Values written as a Cod string: std::string and anything viewable as one (literals included).
template <class T>
concept StringLike = !Primitive<T> && std::is_convertible_v<const T&, std::string_view>;

namespace detail {
// Breaking an obligation of the encoding interface is a programming error: print and abort.
[[noreturn]] void encodingMisuse(const char* what);
}  // namespace detail

class Encoder;
class KeyedEncodingContainer;
class UnkeyedEncodingContainer;
class SingleValueEncodingContainer;

// One per message: numbers the shapes in the order keyed containers are finished.
class EncoderSharedContext {
 public:
  explicit EncoderSharedContext(UserInfo userInfo = {}) : userInfo_(std::move(userInfo)) {}

  // Returns the ID of the sorted key list, registering it under the next ID when new.
  std::int64_t registerShape(std::span<const std::string_view> sortedKeys);

  const std::vector<std::vector<std::string>>& shapes() const noexcept { return shapes_; }
  const UserInfo& userInfo() const noexcept { return userInfo_; }

 private:
  UserInfo userInfo_;
  std::int64_t shapeCounter_ = 0;
  std::vector<std::vector<std::string>> shapes_;
  std::unordered_multimap<std::uint64_t, std::int64_t> shapeIDs_;  // hash of the key list -> ID
};

// The interface of the three container kinds.
class EncodingContainer {
 public:
  explicit EncodingContainer(EncoderSharedContext& context) : context_(&context) {}
  virtual ~EncodingContainer();
  EncodingContainer(const EncodingContainer&) = delete;
  EncodingContainer& operator=(const EncodingContainer&) = delete;

  EncoderSharedContext& sharedContext() const noexcept { return *context_; }
  // The container's finished bytes; a keyed container registers its shape here.
  virtual Bytes data() = 0;

 protected:
  EncoderSharedContext* context_;
};

// Hands out exactly one container for one value.
class Encoder {
 public:
  Encoder(EncoderSharedContext& context, bool topLevel) : context_(&context), topLevel_(topLevel) {}
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  KeyedEncodingContainer& container();
  UnkeyedEncodingContainer& unkeyedContainer();
  SingleValueEncodingContainer& singleValueContainer();

  bool topLevel() const noexcept { return topLevel_; }
  std::vector<std::string> codingPath() const { return {}; }  // nothing appends to it
  const UserInfo& userInfo() const noexcept { return context_->userInfo(); }
  EncoderSharedContext& sharedContext() const noexcept { return *context_; }

  // The finished bytes of the one container; the encoding routine must have asked for one.
  Bytes finish();

 private:
  template <class C>
  C& install();

  EncoderSharedContext* context_;
  bool topLevel_;
  std::unique_ptr<EncodingContainer> container_;
};

// One entry of a keyed or unkeyed container.
struct ContainerElement {
  enum class Kind : std::uint8_t {
    data,       // finished bytes
    nil,        // recorded in the nil bitmap
    run,        // `bytes` holds bytes.size()/width primitive entries of `width` bytes each
    container,  // a nested container, finished when the parent is
    encoder,    // a super-encoder, finished when the parent is
  };
  Kind kind = Kind::nil;
  bool inlineData = false;  // a primitive's bytes live in `small`, saving an allocation
  std::uint8_t smallSize = 0;
  std::uint8_t small[8] = {};
  std::size_t width = 0;
  Bytes bytes;
  std::unique_ptr<EncodingContainer> container;
  std::unique_ptr<Encoder> encoder;

  // The finished bytes of a data or run entry.
  ByteView view() const noexcept { return inlineData ? ByteView(small, smallSize) : ByteView(bytes); }

  static ContainerElement ofData(Bytes bytes) {
    ContainerElement e;
    e.kind = Kind::data;
    e.bytes = std::move(bytes);
    return e;
  }

  template <Primitive T>
  static ContainerElement ofPrimitive(T value) noexcept {
    ContainerElement e;
    e.kind = Kind::data;
    e.inlineData = true;
    e.smallSize = TypeConvert<T>::width;
    TypeConvert<T>::store(e.small, value);
    return e;
  }
};

// The entry for a value: primitives inline, everything else through its element bytes.
template <class T>
ContainerElement makeElement(EncoderSharedContext& context, const T& value);

// The element bytes of a value: a primitive's raw bytes, a string, or the finished container
// of a nested encoder (so a record stored this way registers its shape now).
template <class T>
Bytes elementBytes(EncoderSharedContext& context, const T& value) {
  Bytes out;
  if constexpr (Primitive<T>) {
    TypeConvert<T>::append(out, value);
  } else if constexpr (StringLike<T>) {
    appendString(out, std::string_view(value));
  } else {
    Encoder nested(context, false);
    Coding<T>::encode(nested, value);
    out = nested.finish();
  }
  return out;
}

template <class T>
ContainerElement makeElement(EncoderSharedContext& context, const T& value) {
  if constexpr (Primitive<T>)
    return ContainerElement::ofPrimitive(value);
  else
    return ContainerElement::ofData(elementBytes(context, value));
}

class KeyedEncodingContainer final : public EncodingContainer {
 public:
  using EncodingContainer::EncodingContainer;

  // The key must be new in this container. An absent optional is stored as nil.
  template <class T>
  void encode(std::string_view key, const T& value) {
    if constexpr (isOptional<T>) {
      if (!value) return encodeNil(key);
    }
    requireNewKey(key);
    add(key, makeElement(*context_, value));
  }

  // An absent optional leaves no trace: the key stays out of the shape.
  template <class T>
  void encodeIfPresent(std::string_view key, const std::optional<T>& value) {
    if (value) encode(key, *value);
  }

  void encodeNil(std::string_view key);

  // Nested containers and super-encoders replace any entry under the key and are finished after
  // this container registers its shape.
  KeyedEncodingContainer& nestedContainer(std::string_view key);
  UnkeyedEncodingContainer& nestedUnkeyedContainer(std::string_view key);
  Encoder& superEncoder(std::string_view key);
  Encoder& superEncoder() { return superEncoder("super"); }

  Bytes data() override;

 private:
  struct Entry {
    std::string key;
    ContainerElement element;
  };

  // Small containers (records) are checked for a repeated key at once; large ones (dictionaries)
  // when they are finished, to stay linear.
  static constexpr std::size_t kEagerKeyCheck = 32;

  void requireNewKey(std::string_view key) const;
  ContainerElement& add(std::string_view key, ContainerElement element) {
    if (values_.empty()) values_.reserve(8);
    values_.push_back(Entry{std::string(key), std::move(element)});
    return values_.back().element;
  }
  Entry* find(std::string_view key);
  ContainerElement& replace(std::string_view key);

  std::vector<Entry> values_;  // in insertion order until finished, then sorted by key
};

class UnkeyedEncodingContainer final : public EncodingContainer {
 public:
  using EncodingContainer::EncodingContainer;

  // Entries so far, nil and nested ones included.
  std::size_t count() const noexcept { return count_; }

  template <class T>
  void encode(const T& value) {
    if constexpr (isOptional<T>) {
      if (!value) return encodeNil();
    }
    append(makeElement(*context_, value));
  }

  // Same bytes as encoding each value in turn, without one element per value.
  template <Primitive T>
  void encodeContents(std::span<const T> values) {
    if (values.empty()) return;
    ContainerElement e;
    e.kind = ContainerElement::Kind::run;
    e.width = TypeConvert<T>::width;
    if constexpr (std::same_as<T, std::uint8_t>) {
      e.bytes.assign(values.begin(), values.end());
    } else {
      e.bytes.resize(values.size() * e.width);
      for (std::size_t i = 0; i < values.size(); ++i) TypeConvert<T>::store(e.bytes.data() + i * e.width, values[i]);
    }
    count_ += values.size();
    elements_.push_back(std::move(e));
  }

  void encodeNil();
  KeyedEncodingContainer& nestedContainer();
  UnkeyedEncodingContainer& nestedUnkeyedContainer();
  Encoder& superEncoder();

  Bytes data() override;

 private:
  void append(ContainerElement element) {
    if (elements_.empty()) elements_.reserve(4);
    ++count_;
    elements_.push_back(std::move(element));
  }

  std::vector<ContainerElement> elements_;
  std::size_t count_ = 0;
};

class SingleValueEncodingContainer final : public EncodingContainer {
 public:
  SingleValueEncodingContainer(EncoderSharedContext& context, bool topLevel)
      : EncodingContainer(context), topLevel_(topLevel) {}

  // May overwrite an earlier value.
  void encodeNil() {
    state_ = State::nil;
    value_.clear();
  }

  // Only one value may be encoded.
  template <class T>
  void encode(const T& value) {
    if (state_ != State::unset) detail::encodingMisuse("a single-value container was given a second value");
    value_ = elementBytes(*context_, value);
    state_ = State::set;
  }

  Bytes data() override;

 private:
  enum class State : std::uint8_t { unset, nil, set };
  bool topLevel_;
  State state_ = State::unset;
  Bytes value_;
};

// Writes the shape table followed by `body`.
Bytes assembleMessage(const EncoderSharedContext& context, const Bytes& body);

// Turns one value into one Cod message.
class CodEncoder {
 public:
  using SharedContext = EncoderSharedContext;
  using Encoder = codec::Encoder;
  using KeyedContainer = KeyedEncodingContainer;
  using UnkeyedContainer = UnkeyedEncodingContainer;
  using SingleValueContainer = SingleValueEncodingContainer;

  // Copied into each message's shared context.
  UserInfo userInfo;

  template <class T>
  Bytes encode(const T& value) const {
    SharedContext context(userInfo);
    Encoder root(context, true);
    Coding<T>::encode(root, value);
    // The body first: finishing it registers the shapes the table lists.
    Bytes body = root.finish();
    return assembleMessage(context, body);
  }
};

}  // namespace marlinax::codec
