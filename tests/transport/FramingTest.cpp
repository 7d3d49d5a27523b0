// Frame header byte forms and the reader's limits. How the reader splits arbitrary
// chunks into messages is the framing fuzzer's job.
#include "transport/Framing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "transport/TransportError.h"

namespace marlinax::transport {
namespace {

// What the headset writes: a big-endian length, then the body.
Bytes incoming(const Bytes& body) {
  Bytes out;
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(std::uint64_t{body.size()} >> (8 * i)));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST(FrameHeader, WrittenLittleEndianReadBigEndian) {
  const std::pair<std::uint64_t, Bytes> written[] = {
      {5, {5, 0, 0, 0, 0, 0, 0, 0}}, {0x0102030405060708ull, {8, 7, 6, 5, 4, 3, 2, 1}}, {0, Bytes(8, 0)}};
  for (const auto& [length, bytes] : written) {
    const auto header = encodeFrameHeader(length);
    EXPECT_EQ(Bytes(header.begin(), header.end()), bytes) << length;
  }
  EXPECT_EQ(decodeFrameHeader(std::array<std::uint8_t, 8>{0, 0, 0, 0, 0, 0, 0, 5}), 5u);
  EXPECT_EQ(decodeFrameHeader(std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}), 0x0102030405060708ull);
}

TEST(FrameReader, RefusesLengthsAboveTheLimitOrTheSignedRange) {
  struct Case {
    std::uint64_t limit;
    Bytes wire;
    bool fails;
  };
  const Case cases[] = {
      {10, {0, 0, 0, 0, 0, 0, 0, 10}, false},
      {10, {0, 0, 0, 0, 0, 0, 0, 11}, true},
      {0, {0, 0, 0, 0, 0, 0, 0, 0}, false},
      {0, {0, 0, 0, 0, 0, 0, 0, 1}, true},
      // 2^63 and above never fit a signed length, whatever the limit.
      {UINT64_MAX, {0x80, 0, 0, 0, 0, 0, 0, 0}, true},
      {UINT64_MAX, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, true},
      {kDefaultMaximumMessageSize, {0, 0, 0, 0, 0x04, 0, 0, 0}, false},
      {kDefaultMaximumMessageSize, {0, 0, 0, 0, 0x04, 0, 0, 1}, true},
      // Our own little-endian header read back is a huge length.
      {kDefaultMaximumMessageSize, {5, 0, 0, 0, 0, 0, 0, 0}, true},
  };
  const auto tooLarge = make_error_code(TransportError::messageTooLarge);
  for (const auto& c : cases) {
    FrameReader reader(c.limit);
    SCOPED_TRACE(c.limit);
    if (c.fails) {
      EXPECT_THAT([&] { reader.feed(c.wire); },
                  ::testing::Throws<std::system_error>(::testing::Property(&std::system_error::code, tooLarge)));
      // The reader stays failed instead of resynchronising on garbage.
      EXPECT_THROW(reader.prepare(), std::system_error);
    } else {
      EXPECT_NO_THROW(reader.feed(c.wire));
    }
  }
}

// The buffer of a body follows the bytes that arrived, never the announced
// length: a peer announcing the limit and sending nothing costs nothing.
TEST(FrameReader, BodyBufferGrowsWithTheArrivedBytes) {
  constexpr std::size_t kLimit = 1 << 20;
  struct Case {
    std::size_t length;
    std::size_t arrived;      // body bytes fed after the header
    std::size_t maxCapacity;  // what the reader may hold by then
  };
  const Case cases[] = {{kLimit, 0, 0}, {kLimit, 10, 64 * 1024}, {kLimit, kLimit / 4, kLimit / 2}, {100, 50, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length + c.arrived);
    FrameReader reader(kLimit);
    Bytes body(c.length);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes wire = incoming(body);
    reader.feed(ByteView(wire.data(), kFrameHeaderSize + c.arrived));
    EXPECT_LE(reader.bodyCapacity(), c.maxCapacity);
    // The rest in uneven reads, straight into prepared space: the body is whole.
    for (std::size_t at = kFrameHeaderSize + c.arrived, step = 1; at < wire.size(); step = step * 3 + 1) {
      auto space = reader.prepare();
      const std::size_t count = std::min({space.size(), wire.size() - at, step});
      std::memcpy(space.data(), wire.data() + at, count);
      reader.commit(count);
      at += count;
    }
    EXPECT_EQ(reader.next(), body);
    EXPECT_FALSE(reader.midMessage());
  }
}

}  // namespace
}  // namespace marlinax::transport
