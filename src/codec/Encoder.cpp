#include "codec/Encoder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

#include "codec/BitVector.h"
#include "log/Log.h"

namespace marlinax::codec {

namespace detail {
void encodingMisuse(const char* what) {
  log::error(std::string("Cod encoding misuse: ") + what);
  std::abort();
}
}  // namespace detail

namespace {

// Makes `slot` own a new nested container or super-encoder and returns it.
template <class Nested>
Nested& holdNested(ContainerElement& slot, std::unique_ptr<Nested> owned) {
  Nested& nested = *owned;
  if constexpr (std::is_same_v<Nested, Encoder>) {
    slot.kind = ContainerElement::Kind::encoder;
    slot.encoder = std::move(owned);
  } else {
    slot.kind = ContainerElement::Kind::container;
    slot.container = std::move(owned);
  }
  return nested;
}

std::uint64_t hashKeys(std::span<const std::string_view> keys) noexcept {
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a
  auto mix = [&h](std::uint8_t byte) {
    h ^= byte;
    h *= 1099511628211ULL;
  };
  for (std::string_view key : keys) {
    for (char c : key) mix(static_cast<std::uint8_t>(c));
    mix(0xFF);  // never a UTF-8 byte, so key boundaries cannot blur
  }
  return h;
}

bool sameKeys(const std::vector<std::string>& shape, std::span<const std::string_view> keys) {
  return std::equal(shape.begin(), shape.end(), keys.begin(), keys.end(),
                    [](const std::string& a, std::string_view b) { return a == b; });
}

// Turns a lazily finished entry into finished bytes.
void finishEntry(ContainerElement& e) {
  using Kind = ContainerElement::Kind;
  if (e.kind == Kind::container) {
    e.bytes = e.container->data();
    e.container.reset();
    e.kind = Kind::data;
  } else if (e.kind == Kind::encoder) {
    e.bytes = e.encoder->finish();
    e.encoder.reset();
    e.kind = Kind::data;
  }
}

std::size_t varintSize(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

}  // namespace

std::int64_t EncoderSharedContext::registerShape(std::span<const std::string_view> sortedKeys) {
  std::uint64_t h = hashKeys(sortedKeys);
  auto [first, last] = shapeIDs_.equal_range(h);
  for (auto it = first; it != last; ++it)
    if (sameKeys(shapes_[static_cast<std::size_t>(it->second)], sortedKeys)) return it->second;
  shapes_.emplace_back(sortedKeys.begin(), sortedKeys.end());
  shapeIDs_.emplace(h, shapeCounter_);
  return shapeCounter_++;
}

EncodingContainer::~EncodingContainer() = default;

Encoder::~Encoder() = default;

template <class C>
C& Encoder::install() {
  if (container_) detail::encodingMisuse("an encoder was asked for a second container");
  std::unique_ptr<C> c;
  if constexpr (std::is_same_v<C, SingleValueEncodingContainer>)
    c = std::make_unique<C>(*context_, topLevel_);
  else
    c = std::make_unique<C>(*context_);
  C& ref = *c;
  container_ = std::move(c);
  return ref;
}

KeyedEncodingContainer& Encoder::container() { return install<KeyedEncodingContainer>(); }
UnkeyedEncodingContainer& Encoder::unkeyedContainer() { return install<UnkeyedEncodingContainer>(); }
SingleValueEncodingContainer& Encoder::singleValueContainer() { return install<SingleValueEncodingContainer>(); }

Bytes Encoder::finish() {
  if (!container_) detail::encodingMisuse("an encoding routine finished without asking for a container");
  return container_->data();
}

// Keyed

auto KeyedEncodingContainer::find(std::string_view key) -> Entry* {
  for (auto& entry : values_)
    if (entry.key == key) return &entry;
  return nullptr;
}

void KeyedEncodingContainer::requireNewKey(std::string_view key) const {
  if (values_.size() >= kEagerKeyCheck) return;  // checked when finished
  for (const auto& entry : values_)
    if (entry.key == key) detail::encodingMisuse("a key was encoded twice in one keyed container");
}

void KeyedEncodingContainer::encodeNil(std::string_view key) {
  requireNewKey(key);
  add(key, ContainerElement{});
}

ContainerElement& KeyedEncodingContainer::replace(std::string_view key) {
  if (Entry* entry = find(key)) {
    entry->element = ContainerElement{};
    return entry->element;
  }
  return add(key, ContainerElement{});
}

KeyedEncodingContainer& KeyedEncodingContainer::nestedContainer(std::string_view key) {
  auto nested = std::make_unique<KeyedEncodingContainer>(*context_);
  return holdNested(replace(key), std::move(nested));
}

UnkeyedEncodingContainer& KeyedEncodingContainer::nestedUnkeyedContainer(std::string_view key) {
  auto nested = std::make_unique<UnkeyedEncodingContainer>(*context_);
  return holdNested(replace(key), std::move(nested));
}

Encoder& KeyedEncodingContainer::superEncoder(std::string_view key) {
  auto nested = std::make_unique<Encoder>(*context_, false);
  return holdNested(replace(key), std::move(nested));
}

Bytes KeyedEncodingContainer::data() {
  // std::string orders by unsigned bytes, which for UTF-8 is Unicode scalar order; keys are
  // compared without canonical normalisation (every key this system uses is ASCII).
  std::sort(values_.begin(), values_.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::vector<std::string_view> keys;
  keys.reserve(values_.size());
  for (const auto& entry : values_) {
    if (!keys.empty() && keys.back() == entry.key)
      detail::encodingMisuse("a key was encoded twice in one keyed container");
    keys.push_back(entry.key);
  }
  // Registered before lazily finished children, which therefore get higher IDs.
  std::int64_t shapeID = context_->registerShape(keys);

  using Kind = ContainerElement::Kind;
  bool anyNil = false;
  std::size_t total = 0;
  for (auto& entry : values_) {
    finishEntry(entry.element);
    if (entry.element.kind == Kind::nil)
      anyNil = true;
    else
      total += entry.element.view().size() + varintSize(entry.element.view().size());
  }

  Bytes out;
  out.reserve(2 + varintSize(static_cast<std::uint64_t>(shapeID)) + BitVector::byteCount(keys.size()) + total);
  out.push_back(anyNil ? 0x01 : 0x00);
  appendVarint(out, static_cast<std::uint64_t>(shapeID));
  if (anyNil) {
    BitVector nils(values_.size());
    for (std::size_t i = 0; i < values_.size(); ++i)
      if (values_[i].element.kind == Kind::nil) nils.set(i);
    out.insert(out.end(), nils.bytes().begin(), nils.bytes().end());
  }
  for (const auto& entry : values_)
    if (entry.element.kind != Kind::nil) appendVarint(out, entry.element.view().size());
  for (const auto& entry : values_) {
    ByteView bytes = entry.element.view();
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

// Unkeyed

void UnkeyedEncodingContainer::encodeNil() { append(ContainerElement{}); }

KeyedEncodingContainer& UnkeyedEncodingContainer::nestedContainer() {
  ContainerElement slot;
  auto& nested = holdNested(slot, std::make_unique<KeyedEncodingContainer>(*context_));
  append(std::move(slot));
  return nested;
}

UnkeyedEncodingContainer& UnkeyedEncodingContainer::nestedUnkeyedContainer() {
  ContainerElement slot;
  auto& nested = holdNested(slot, std::make_unique<UnkeyedEncodingContainer>(*context_));
  append(std::move(slot));
  return nested;
}

Encoder& UnkeyedEncodingContainer::superEncoder() {
  ContainerElement slot;
  auto& nested = holdNested(slot, std::make_unique<Encoder>(*context_, false));
  append(std::move(slot));
  return nested;
}

Bytes UnkeyedEncodingContainer::data() {
  using Kind = ContainerElement::Kind;
  bool anyNil = false;
  bool sameLength = true;
  std::optional<std::size_t> commonLength;
  std::size_t total = 0;
  std::size_t sizeListBytes = 0;
  for (auto& e : elements_) {
    finishEntry(e);
    if (e.kind == Kind::nil) {
      anyNil = true;
      continue;
    }
    std::size_t length = e.kind == Kind::run ? e.width : e.view().size();
    std::size_t entries = e.kind == Kind::run ? e.bytes.size() / e.width : 1;
    if (!commonLength)
      commonLength = length;
    else if (*commonLength != length)
      sameLength = false;
    total += e.view().size();
    sizeListBytes += entries * varintSize(length);
  }

  Bytes out;
  if (anyNil) {
    out.reserve(1 + varintSize(count_) + BitVector::byteCount(count_) + sizeListBytes + total);
    out.push_back(0x02);
    appendVarint(out, count_);
    BitVector nils(count_);
    std::size_t i = 0;
    for (const auto& e : elements_) {
      if (e.kind == Kind::nil) nils.set(i);
      i += e.kind == Kind::run ? e.bytes.size() / e.width : 1;
    }
    out.insert(out.end(), nils.bytes().begin(), nils.bytes().end());
  } else if (sameLength) {
    out.reserve(1 + varintSize(count_) + varintSize(commonLength.value_or(0)) + total);
    out.push_back(0x00);
    appendVarint(out, count_);
    appendVarint(out, commonLength.value_or(0));
  } else {
    out.reserve(1 + varintSize(count_) + sizeListBytes + total);
    out.push_back(0x01);
    appendVarint(out, count_);
  }
  if (anyNil || !sameLength) {
    for (const auto& e : elements_) {
      if (e.kind == Kind::nil) continue;
      if (e.kind == Kind::run) {
        for (std::size_t k = 0; k < e.bytes.size() / e.width; ++k) appendVarint(out, e.width);
      } else {
        appendVarint(out, e.view().size());
      }
    }
  }
  for (const auto& e : elements_) {
    ByteView bytes = e.view();
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

// Single value

Bytes SingleValueEncodingContainer::data() {
  switch (state_) {
  case State::unset: detail::encodingMisuse("a single-value container was finished without a value");
  case State::nil: return Bytes{0x01};
  case State::set: break;
  }
  if (!topLevel_) return value_;
  Bytes out;
  out.reserve(1 + value_.size());
  out.push_back(0x00);  // the nil flag: present
  out.insert(out.end(), value_.begin(), value_.end());
  return out;
}

Bytes assembleMessage(const EncoderSharedContext& context, const Bytes& body) {
  Bytes out;
  std::size_t tableSize = varintSize(context.shapes().size());
  for (const auto& shape : context.shapes()) {
    tableSize += varintSize(shape.size());
    for (const auto& key : shape) tableSize += varintSize(key.size()) + key.size();
  }
  out.reserve(tableSize + body.size());
  appendVarint(out, context.shapes().size());
  for (const auto& shape : context.shapes()) {
    appendVarint(out, shape.size());
    for (const auto& key : shape) appendString(out, key);
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace marlinax::codec
