#include "transport/Framing.h"
#include "transport/TransportError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace marlinax::transport {
namespace {

Bytes header(std::initializer_list<std::uint8_t> bytes) { return Bytes(bytes); }

// What the headset writes: a big-endian length, then the body.
Bytes incoming(const Bytes& body) {
  Bytes out;
  for (int i = 7; i >= 0; --i) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(body.size()) >> (8 * i)));
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<Bytes> drain(FrameReader& reader) {
  std::vector<Bytes> messages;
  while (auto message = reader.next()) {
    messages.push_back(std::move(*message));
  }
  return messages;
}

std::error_code failureOf(FrameReader& reader, const Bytes& bytes) {
  try {
    reader.feed(bytes);
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

TEST(FrameHeader, WrittenLittleEndian) {
  const auto five = encodeFrameHeader(5);
  EXPECT_EQ(Bytes(five.begin(), five.end()), header({0x05, 0, 0, 0, 0, 0, 0, 0}));
  const auto wide = encodeFrameHeader(0x0102030405060708ull);
  EXPECT_EQ(Bytes(wide.begin(), wide.end()), header({8, 7, 6, 5, 4, 3, 2, 1}));
  const auto empty = encodeFrameHeader(0);
  EXPECT_EQ(Bytes(empty.begin(), empty.end()), Bytes(8, 0));
}

TEST(FrameHeader, ReadBigEndian) {
  const std::array<std::uint8_t, 8> five{0, 0, 0, 0, 0, 0, 0, 5};
  EXPECT_EQ(decodeFrameHeader(five), 5u);
  const std::array<std::uint8_t, 8> wide{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(decodeFrameHeader(wide), 0x0102030405060708ull);
}

TEST(FrameReader, DeliversAnnouncedBodies) {
  FrameReader reader;
  Bytes wire = header({0, 0, 0, 0, 0, 0, 0, 5});
  wire.insert(wire.end(), {'h', 'e', 'l', 'l', 'o'});
  reader.feed(wire);
  const auto messages = drain(reader);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_FALSE(reader.midMessage());
}

TEST(FrameReader, EmptyMessagesAreHeadersAlone) {
  FrameReader reader;
  Bytes wire(16, 0);  // two empty messages back to back
  reader.feed(wire);
  const auto messages = drain(reader);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_TRUE(messages[0].empty());
  EXPECT_TRUE(messages[1].empty());
  EXPECT_FALSE(reader.midMessage());
}

TEST(FrameReader, SplitHeaderWaitsForAllEightBytes) {
  FrameReader reader;
  const Bytes wire = incoming({1, 2, 3});
  reader.feed(ByteView(wire).first(3));
  EXPECT_FALSE(reader.next());
  EXPECT_TRUE(reader.midMessage());
  reader.feed(ByteView(wire).subspan(3, 4));  // seven header bytes
  EXPECT_FALSE(reader.next());
  reader.feed(ByteView(wire).subspan(7));
  const auto messages = drain(reader);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Bytes({1, 2, 3}));
}

TEST(FrameReader, TwoMessagesInOneRead) {
  FrameReader reader;
  Bytes wire = incoming({'a'});
  const Bytes second = incoming({'b', 'c'});
  wire.insert(wire.end(), second.begin(), second.end());
  reader.feed(wire);
  const auto messages = drain(reader);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], Bytes({'a'}));
  EXPECT_EQ(messages[1], Bytes({'b', 'c'}));
}

TEST(FrameReader, BodySplitAcrossReadsIsDeliveredOnceWhole) {
  Bytes body(100000);
  for (std::size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  const Bytes wire = incoming(body);
  for (std::size_t chunk : {1ul, 7ul, 4096ul, 70000ul}) {
    FrameReader reader;
    std::size_t delivered = 0;
    for (std::size_t offset = 0; offset < wire.size(); offset += chunk) {
      reader.feed(ByteView(wire).subspan(offset, std::min(chunk, wire.size() - offset)));
      const auto messages = drain(reader);
      delivered += messages.size();
      if (!messages.empty()) {
        EXPECT_EQ(messages[0], body) << "chunk " << chunk;
        EXPECT_EQ(offset + std::min(chunk, wire.size() - offset), wire.size());
      }
    }
    EXPECT_EQ(delivered, 1u) << "chunk " << chunk;
  }
}

TEST(FrameReader, PartialCommitsIntoPreparedSpace) {
  // A socket read fills only part of the offered space; the reader must
  // resume at the right place whether it offered staging or the body itself.
  std::vector<Bytes> bodies = {Bytes(3, 1), Bytes(), Bytes(50000, 2), Bytes(5000, 3), Bytes(1, 4)};
  Bytes wire;
  for (const auto& body : bodies) {
    const Bytes framed = incoming(body);
    wire.insert(wire.end(), framed.begin(), framed.end());
  }
  std::mt19937 random(42);
  for (int round = 0; round < 20; ++round) {
    FrameReader reader;
    std::vector<Bytes> received;
    std::size_t offset = 0;
    while (offset < wire.size()) {
      const auto space = reader.prepare();
      ASSERT_FALSE(space.empty());
      std::size_t count = std::uniform_int_distribution<std::size_t>(1, 9000)(random);
      count = std::min({count, space.size(), wire.size() - offset});
      std::memcpy(space.data(), wire.data() + offset, count);
      reader.commit(count);
      offset += count;
      for (auto& message : drain(reader)) {
        received.push_back(std::move(message));
      }
    }
    EXPECT_EQ(received, bodies);
    EXPECT_FALSE(reader.midMessage());
  }
}

TEST(FrameReader, RefusesLengthsAboveTheLimitOrTheSignedRange) {
  struct Case {
    std::uint64_t limit;
    Bytes wire;
    bool fails;
  };
  const Case cases[] = {
      {10, header({0, 0, 0, 0, 0, 0, 0, 10}), false},
      {10, header({0, 0, 0, 0, 0, 0, 0, 11}), true},
      {0, header({0, 0, 0, 0, 0, 0, 0, 0}), false},
      {0, header({0, 0, 0, 0, 0, 0, 0, 1}), true},
      // 2^63 and above never fit a signed length, whatever the limit.
      {UINT64_MAX, header({0x80, 0, 0, 0, 0, 0, 0, 0}), true},
      {UINT64_MAX, header({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), true},
      {kDefaultMaximumMessageSize, header({0, 0, 0, 0, 0x04, 0, 0, 0}), false},
      {kDefaultMaximumMessageSize, header({0, 0, 0, 0, 0x04, 0, 0, 1}), true},
      // Our own little-endian header read back is a huge length: the
      // direction of a header matters.
      {kDefaultMaximumMessageSize, header({5, 0, 0, 0, 0, 0, 0, 0}), true},
  };
  for (const auto& c : cases) {
    FrameReader reader(c.limit);
    const std::error_code error = failureOf(reader, c.wire);
    if (c.fails) {
      EXPECT_EQ(error, TransportError::messageTooLarge) << "limit " << c.limit;
      // The reader stays failed instead of resynchronising on garbage.
      EXPECT_THROW(reader.prepare(), std::system_error);
    } else {
      EXPECT_FALSE(error) << error.message();
    }
  }
}

// The buffer of a body follows the bytes that arrived, never the announced
// length: a peer announcing the limit and sending nothing costs nothing.
TEST(FrameReader, BodyBufferGrowsWithTheArrivedBytes) {
  constexpr std::size_t kLimit = 1 << 20;
  struct Case {
    const char* name;
    std::size_t length;
    std::size_t arrived;      // body bytes fed after the header
    std::size_t maxCapacity;  // what the reader may hold by then
  };
  const Case cases[] = {
      {"header alone", kLimit, 0, 0},
      {"a few bytes", kLimit, 10, 64 * 1024},
      {"a quarter", kLimit, kLimit / 4, kLimit / 2},
      {"small message", 100, 50, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader(kLimit);
    Bytes body(c.length);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes wire = incoming(body);
    reader.feed(ByteView(wire.data(), kFrameHeaderSize + c.arrived));
    EXPECT_LE(reader.bodyCapacity(), c.maxCapacity);
    EXPECT_TRUE(reader.midMessage());
    // The rest in uneven reads, straight into prepared space: the body is whole.
    std::size_t at = kFrameHeaderSize + c.arrived;
    std::size_t step = 1;
    while (at < wire.size()) {
      auto space = reader.prepare();
      const std::size_t count = std::min({space.size(), wire.size() - at, step});
      std::memcpy(space.data(), wire.data() + at, count);
      reader.commit(count);
      at += count;
      step = step * 3 + 1;
    }
    auto messages = drain(reader);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], body);
    EXPECT_FALSE(reader.midMessage());
  }
}

TEST(FrameReader, MessagesBeforeAnOversizeHeaderAreKept) {
  FrameReader reader(4);
  Bytes wire = incoming({9, 9});
  const Bytes bad = header({0, 0, 0, 0, 0, 0, 0, 5});
  wire.insert(wire.end(), bad.begin(), bad.end());
  EXPECT_EQ(failureOf(reader, wire), TransportError::messageTooLarge);
  const auto messages = drain(reader);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Bytes({9, 9}));
}

}  // namespace
}  // namespace marlinax::transport
