// Message framing over a byte stream: every message travels behind an 8-byte
// length header. The server writes its headers little-endian and reads the
// headset's big-endian; the headset does the opposite. The defaults below are
// the server's; a connection playing the headset's part (the peer tool)
// passes the mirrored orders.
// No Asio here, so the parser can be fuzzed and unit tested without sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "codec/Bytes.h"

namespace marlinax::transport {

inline constexpr std::size_t kFrameHeaderSize = 8;

enum class HeaderOrder { littleEndian, bigEndian };

// Largest body a reader accepts when its owner sets nothing else. The headset
// only sends small requests (input events, display and preview requests, mask
// digests: well under a kilobyte), so 64 MiB is far above any legitimate
// message while still bounding what a misbehaving peer can make us allocate.
inline constexpr std::uint64_t kDefaultMaximumMessageSize = 64ull << 20;

// What the computer accepts from a headset, whose messages are all small.
inline constexpr std::uint64_t kIncomingMaximumMessageSize = 1ull << 20;

// The header written in front of a body of `length` bytes.
std::array<std::uint8_t, kFrameHeaderSize> encodeFrameHeader(std::uint64_t length,
                                                             HeaderOrder order = HeaderOrder::littleEndian);

// The body length announced by a received header.
std::uint64_t decodeFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> header,
                                HeaderOrder order = HeaderOrder::bigEndian);

// Incremental parser for the receiving direction. The owner alternates
//   auto space = reader.prepare();  // where the next bytes should land
//   ... read at most space.size() bytes into space ...
//   reader.commit(n);               // n bytes were written there
// and takes whole messages with next(). When the reader is in the middle of a
// body, prepare() points into that body itself so the bytes land in their
// final place; only bytes that arrive together with a header go through the
// small staging buffer and are copied once.
//
// A body's buffer grows as its bytes arrive (doubling, from 64 KiB), never to
// the announced length up front: a header alone costs nothing.
//
// A header announcing 2^63 bytes or more, or more than the maximum message
// size, makes commit() throw std::system_error (TransportError::messageTooLarge)
// before anything is allocated for it; the reader is unusable afterwards.
class FrameReader {
 public:
  explicit FrameReader(std::uint64_t maximumMessageSize = kDefaultMaximumMessageSize,
                       HeaderOrder order = HeaderOrder::bigEndian);

  std::span<std::uint8_t> prepare();
  void commit(std::size_t count);

  // Convenience for callers holding a chunk already: prepare/copy/commit until
  // the chunk is used up.
  void feed(ByteView chunk);

  std::optional<Bytes> next();

  // True when part of a message (header or body) has arrived but not all of it.
  bool midMessage() const;
  std::uint64_t maximumMessageSize() const { return maximumMessageSize_; }
  // Bytes held for the message in progress (its buffer's capacity).
  std::size_t bodyCapacity() const { return body_.capacity(); }

 private:
  void parseStaging();
  void finishBody();

  static constexpr std::size_t kStagingSize = 16 * 1024;
  // Bodies at least this long still missing are read straight into the
  // message; shorter tails go through staging so several small messages can
  // arrive in one read.
  static constexpr std::size_t kDirectReadThreshold = 4 * 1024;
  // The first allocation for a body read straight into it.
  static constexpr std::size_t kFirstGrowth = 64 * 1024;

  std::uint64_t maximumMessageSize_;
  HeaderOrder order_;
  std::array<std::uint8_t, kStagingSize> staging_{};
  std::size_t stagingBegin_ = 0;  // first unparsed byte
  std::size_t stagingEnd_ = 0;    // one past the last received byte
  bool inBody_ = false;
  Bytes body_;                  // at least bodyFilled_ bytes, at most bodyLength_
  std::size_t bodyLength_ = 0;  // announced
  std::size_t bodyFilled_ = 0;
  bool preparedDirect_ = false;
  bool failed_ = false;
  std::deque<Bytes> ready_;
};

}  // namespace marlinax::transport
