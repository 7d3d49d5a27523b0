#include "codec/Decoder.h"

#include <algorithm>
#include <bit>

#include "codec/BitVector.h"

namespace marlinax::codec {

namespace {

using Kind = ProducerError::Kind;

// Running element offsets saturate instead of wrapping: a saturated offset lies past any
// element area, so using it reports truncated.
constexpr std::uint64_t kOffsetLimit = std::numeric_limits<std::uint64_t>::max() - 1;

std::uint64_t addOffset(std::uint64_t running, std::uint64_t size) noexcept {
  return size > kOffsetLimit - running ? kOffsetLimit : running + size;
}

std::int64_t at(std::int64_t base, std::size_t offset) noexcept { return base + static_cast<std::int64_t>(offset); }

}  // namespace

// Shape table

std::optional<std::size_t> DecoderSharedContext::Shape::indexOf(std::string_view key) const noexcept {
  auto it = std::lower_bound(byKey.begin(), byKey.end(), key,
                             [this](std::uint32_t i, std::string_view k) { return keys[i] < k; });
  if (it == byKey.end() || keys[*it] != key) return std::nullopt;
  return *it;
}

std::size_t DecoderSharedContext::readShapeTable(ByteView message) {
  budget_ = 16 * static_cast<std::uint64_t>(message.size()) + 65536;
  std::size_t offset = 0;
  // Counts are not trusted for reservations: every shape and key takes at least one byte, so
  // the loops end with truncated once the bytes run out.
  std::uint64_t shapeCount = readVarint(message, offset);
  for (std::uint64_t s = 0; s < shapeCount; ++s) {
    std::uint64_t keyCount = readVarint(message, offset);
    Shape shape;
    for (std::uint64_t k = 0; k < keyCount; ++k) shape.keys.push_back(readString(message, offset, 0));
    shape.byKey.resize(shape.keys.size());
    for (std::size_t i = 0; i < shape.byKey.size(); ++i) shape.byKey[i] = static_cast<std::uint32_t>(i);
    std::sort(shape.byKey.begin(), shape.byKey.end(),
              [&shape](std::uint32_t a, std::uint32_t b) { return shape.keys[a] < shape.keys[b]; });
    auto duplicate =
        std::adjacent_find(shape.byKey.begin(), shape.byKey.end(),
                           [&shape](std::uint32_t a, std::uint32_t b) { return shape.keys[a] == shape.keys[b]; });
    if (duplicate != shape.byKey.end()) throw ProducerError(Kind::duplicateKeys);
    shapes_.push_back(std::move(shape));
  }
  return offset;
}

// Decoder

KeyedDecodingContainer Decoder::container() const { return KeyedDecodingContainer(*context_, data_, base_); }

UnkeyedDecodingContainer Decoder::unkeyedContainer() const { return UnkeyedDecodingContainer(*context_, data_, base_); }

// Keyed

KeyedDecodingContainer::KeyedDecodingContainer(const DecoderSharedContext& context, ByteView data, std::int64_t base)
    : context_(&context) {
  std::size_t offset = 0;
  if (data.empty()) throw ProducerError::truncated();
  std::uint8_t metadata = data[offset++];
  if (metadata >= 2) throw ProducerError(Kind::invalidMetadata, at(base, offset));
  nullable_ = metadata == 1;
  std::uint64_t shapeID = readVarint(data, offset);
  shape_ = context.shape(shapeID);
  if (!shape_) throw ProducerError(Kind::invalidShapeID, at(base, offset));

  const std::size_t keyCount = shape_->keys.size();
  ByteView bitmap;
  if (nullable_) {
    std::size_t bitmapSize = BitVector::byteCount(keyCount);
    if (data.size() - offset < bitmapSize) throw ProducerError::truncated();
    bitmap = data.subspan(offset, bitmapSize);
    offset += bitmapSize;
  }
  offsets_.resize(keyCount);
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < keyCount; ++i) {
    if (nullable_ && BitVector::test(bitmap, i)) {
      offsets_[i] = kNil;
      continue;
    }
    offsets_[i] = running;
    running = addOffset(running, readVarint(data, offset));
  }
  context.charge(std::max<std::uint64_t>(offset, keyCount));
  area_ = data.subspan(offset);
  areaBase_ = at(base, offset);
}

std::size_t KeyedDecodingContainer::indexOf(std::string_view key) const {
  auto index = shape_->indexOf(key);
  if (!index) throw ProducerError(Kind::unknownKey);
  return *index;
}

std::size_t KeyedDecodingContainer::presentIndexOf(std::string_view key) const {
  std::size_t index = indexOf(key);
  if (offsets_[index] == kNil) throw ProducerError(Kind::unknownKey);
  return index;
}

KeyedDecodingContainer::Element KeyedDecodingContainer::element(std::size_t index) const {
  std::uint64_t start = offsets_[index];
  if (start > area_.size()) throw ProducerError::truncated();
  return Element{area_.subspan(static_cast<std::size_t>(start)), at(areaBase_, static_cast<std::size_t>(start))};
}

KeyedDecodingContainer KeyedDecodingContainer::nestedContainer(std::string_view key) const {
  Element e = element(presentIndexOf(key));
  return KeyedDecodingContainer(*context_, e.bytes, e.base);
}

UnkeyedDecodingContainer KeyedDecodingContainer::nestedUnkeyedContainer(std::string_view key) const {
  Element e = element(presentIndexOf(key));
  return UnkeyedDecodingContainer(*context_, e.bytes, e.base);
}

Decoder KeyedDecodingContainer::superDecoder(std::string_view key) const {
  Element e = element(presentIndexOf(key));
  return Decoder(*context_, e.bytes, e.base, false);
}

// Unkeyed

UnkeyedDecodingContainer::UnkeyedDecodingContainer(const DecoderSharedContext& context, ByteView data,
                                                   std::int64_t base)
    : context_(&context) {
  std::size_t offset = 0;
  if (data.empty()) throw ProducerError::truncated();
  std::uint8_t metadata = data[offset++];
  if (metadata >= 3) throw ProducerError(Kind::invalidMetadata, at(base, offset));
  indexCount_ = readVarint(data, offset);
  std::uint64_t running = 0;
  switch (metadata) {
  case 0:
    layout_ = Layout::homogenouslySized;
    elementSize_ = readVarint(data, offset);
    break;
  case 1:
    layout_ = Layout::hetrogenous;
    // One size varint per entry, each at least a byte.
    if (indexCount_ > data.size() - offset) throw ProducerError::truncated();
    offsets_.reserve(static_cast<std::size_t>(indexCount_));
    for (std::uint64_t i = 0; i < indexCount_; ++i) {
      offsets_.push_back(running);
      running = addOffset(running, readVarint(data, offset));
    }
    break;
  default: {
    layout_ = Layout::nullable;
    // Checked before computing the byte count, so the count fits in size_t below.
    if (indexCount_ / 8 > data.size() - offset) throw ProducerError::truncated();
    std::size_t bitmapSize = BitVector::byteCount(static_cast<std::size_t>(indexCount_));
    if (bitmapSize > data.size() - offset) throw ProducerError::truncated();
    nilBitmap_ = data.subspan(offset, bitmapSize);
    offset += bitmapSize;
    std::uint64_t nils = 0;
    for (std::size_t b = 0; b < bitmapSize; ++b) {
      std::uint8_t byte = nilBitmap_[b];
      if (b == bitmapSize - 1 && indexCount_ % 8 != 0)
        byte &= static_cast<std::uint8_t>((1U << (indexCount_ % 8)) - 1);  // bits past the end
      nils += static_cast<std::uint64_t>(std::popcount(byte));
    }
    std::uint64_t present = indexCount_ - nils;
    if (present > data.size() - offset) throw ProducerError::truncated();
    offsets_.reserve(static_cast<std::size_t>(present));
    for (std::uint64_t i = 0; i < present; ++i) {
      offsets_.push_back(running);
      running = addOffset(running, readVarint(data, offset));
    }
    break;
  }
  }
  context.charge(offset);
  area_ = data.subspan(offset);
  areaBase_ = at(base, offset);
}

UnkeyedDecodingContainer::Entry UnkeyedDecodingContainer::take() {
  if (currentIndex_ >= indexCount_) throw ProducerError::truncated();
  context_->charge(1);
  const std::uint64_t i = currentIndex_++;
  const std::uint64_t areaSize = area_.size();
  std::uint64_t start = 0;
  std::uint64_t end = areaSize;
  switch (layout_) {
  case Layout::homogenouslySized:
    if (elementSize_ != 0 && i > areaSize / elementSize_) throw ProducerError::truncated();
    start = i * elementSize_;
    if (elementSize_ > areaSize - std::min(start, areaSize)) throw ProducerError::truncated();
    end = start + elementSize_;
    break;
  case Layout::hetrogenous:
    start = offsets_[static_cast<std::size_t>(i)];
    if (i + 1 < indexCount_) end = offsets_[static_cast<std::size_t>(i + 1)];
    break;
  case Layout::nullable:
    if (BitVector::test(nilBitmap_, static_cast<std::size_t>(i))) return Entry{{}, 0, true};
    start = offsets_[static_cast<std::size_t>(presentBefore_++)];
    break;
  }
  if (start > areaSize || end > areaSize || start > end) throw ProducerError::truncated();
  return Entry{area_.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
               at(areaBase_, static_cast<std::size_t>(start)), false};
}

UnkeyedDecodingContainer::Entry UnkeyedDecodingContainer::takePresent() {
  Entry e = take();
  if (e.nil) throw ProducerError(Kind::invalidOptional);
  return e;
}

bool UnkeyedDecodingContainer::decodeNil() {
  if (layout_ != Layout::nullable) return false;
  if (isAtEnd()) throw ProducerError::truncated();
  if (!BitVector::test(nilBitmap_, static_cast<std::size_t>(currentIndex_))) return false;
  ++currentIndex_;
  return true;
}

KeyedDecodingContainer UnkeyedDecodingContainer::nestedContainer() {
  Entry e = takePresent();
  return KeyedDecodingContainer(*context_, e.bytes, e.base);
}

UnkeyedDecodingContainer UnkeyedDecodingContainer::nestedUnkeyedContainer() {
  Entry e = takePresent();
  return UnkeyedDecodingContainer(*context_, e.bytes, e.base);
}

Decoder UnkeyedDecodingContainer::superDecoder() {
  Entry e = takePresent();
  return Decoder(*context_, e.bytes, e.base, false);
}

std::optional<ByteView> UnkeyedDecodingContainer::takeRun(std::size_t width) {
  if (layout_ != Layout::homogenouslySized || elementSize_ != width || width == 0) return std::nullopt;
  const std::uint64_t perArea = area_.size() / width;
  if (indexCount_ > perArea) return std::nullopt;  // let the entry-by-entry path report it
  ByteView run = area_.subspan(static_cast<std::size_t>(currentIndex_ * width),
                               static_cast<std::size_t>((indexCount_ - currentIndex_) * width));
  context_->charge(run.size());
  currentIndex_ = indexCount_;
  return run;
}

}  // namespace marlinax::codec
