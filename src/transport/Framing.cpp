#include "transport/Framing.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "transport/TransportError.h"

namespace marlinax::transport {

std::array<std::uint8_t, kFrameHeaderSize> encodeFrameHeader(std::uint64_t length, HeaderOrder order) {
  std::array<std::uint8_t, kFrameHeaderSize> header{};
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) {
    const std::size_t at = order == HeaderOrder::littleEndian ? i : kFrameHeaderSize - 1 - i;
    header[at] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  return header;
}

std::uint64_t decodeFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> header, HeaderOrder order) {
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) {
    const std::size_t at = order == HeaderOrder::bigEndian ? i : kFrameHeaderSize - 1 - i;
    length = (length << 8) | header[at];
  }
  return length;
}

FrameReader::FrameReader(std::uint64_t maximumMessageSize, HeaderOrder order)
    : maximumMessageSize_(maximumMessageSize), order_(order) {}

std::span<std::uint8_t> FrameReader::prepare() {
  if (failed_) {
    throw std::system_error(TransportError::messageTooLarge);
  }
  const std::size_t staged = stagingEnd_ - stagingBegin_;
  if (inBody_ && staged == 0 && bodyLength_ - bodyFilled_ >= kDirectReadThreshold) {
    preparedDirect_ = true;
    if (body_.size() == bodyFilled_) {
      const std::size_t grown = bodyFilled_ + std::max(kFirstGrowth, bodyFilled_);
      body_.resize(std::min(bodyLength_, grown));
    }
    return {body_.data() + bodyFilled_, body_.size() - bodyFilled_};
  }
  preparedDirect_ = false;
  // After parsing, staging holds at most a partial header, so this move is tiny.
  if (stagingBegin_ > 0) {
    std::memmove(staging_.data(), staging_.data() + stagingBegin_, staged);
    stagingBegin_ = 0;
    stagingEnd_ = staged;
  }
  return {staging_.data() + stagingEnd_, staging_.size() - stagingEnd_};
}

void FrameReader::commit(std::size_t count) {
  if (preparedDirect_) {
    bodyFilled_ += count;
    if (bodyFilled_ == bodyLength_) {
      finishBody();
    }
    return;
  }
  stagingEnd_ += count;
  parseStaging();
}

void FrameReader::parseStaging() {
  for (;;) {
    const std::size_t available = stagingEnd_ - stagingBegin_;
    if (inBody_) {
      const std::size_t take = std::min(available, bodyLength_ - bodyFilled_);
      if (take > 0) {
        if (body_.size() < bodyFilled_ + take) {
          body_.resize(bodyFilled_ + take);
        }
        std::memcpy(body_.data() + bodyFilled_, staging_.data() + stagingBegin_, take);
        bodyFilled_ += take;
        stagingBegin_ += take;
      }
      if (bodyFilled_ < bodyLength_) {
        break;
      }
      finishBody();
      continue;
    }
    if (available < kFrameHeaderSize) {
      break;
    }
    const std::uint64_t length = decodeFrameHeader(
        std::span<const std::uint8_t, kFrameHeaderSize>(staging_.data() + stagingBegin_, kFrameHeaderSize), order_);
    if (length >= (std::uint64_t{1} << 63) || length > maximumMessageSize_) {
      failed_ = true;
      throw std::system_error(TransportError::messageTooLarge);
    }
    stagingBegin_ += kFrameHeaderSize;
    body_ = Bytes();
    bodyLength_ = static_cast<std::size_t>(length);
    bodyFilled_ = 0;
    inBody_ = true;
  }
  if (stagingBegin_ == stagingEnd_) {
    stagingBegin_ = stagingEnd_ = 0;
  }
}

void FrameReader::finishBody() {
  body_.resize(bodyLength_);  // an empty body never grew
  ready_.push_back(std::move(body_));
  body_ = Bytes();
  bodyLength_ = 0;
  bodyFilled_ = 0;
  inBody_ = false;
}

void FrameReader::feed(ByteView chunk) {
  while (!chunk.empty()) {
    const std::span<std::uint8_t> space = prepare();
    const std::size_t count = std::min(space.size(), chunk.size());
    std::memcpy(space.data(), chunk.data(), count);
    commit(count);
    chunk = chunk.subspan(count);
  }
}

std::optional<Bytes> FrameReader::next() {
  if (ready_.empty()) {
    return std::nullopt;
  }
  Bytes message = std::move(ready_.front());
  ready_.pop_front();
  return message;
}

bool FrameReader::midMessage() const { return inBody_ || stagingEnd_ > stagingBegin_; }

}  // namespace marlinax::transport
