// The multiplexer over an in-memory connection pair: the test plays the peer
// with raw messages on the other end.

#include "messaging/Multiplexer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <system_error>

#include "async/Queue.h"
#include "codec/CodTestSupport.h"
#include "support/IoHarness.h"
#include "transport/TransportError.h"

namespace marlinax::messaging {
namespace {

using testing::IoHarness;

// A handler whose answers each test scripts.
class ScriptedHandler : public MessageProtocol {
 public:
  using Script = std::function<asio::awaitable<std::optional<Bytes>>(Messages, Bytes)>;
  explicit ScriptedHandler(Script script) : script(std::move(script)) {}
  asio::awaitable<std::optional<Bytes>> handle(Messages message, Bytes data) override {
    return script(message, std::move(data));
  }
  const Script script;
};

// Serves requests of the computer's group with the body "ok" (the empty body
// for mouseMoved) and takes everything else as replies.
asio::awaitable<std::optional<Bytes>> serveComputerGroup(Messages message, Bytes) {
  if (isClientMessage(message)) co_return std::nullopt;
  if (message == Messages::mouseMoved) co_return Bytes{};
  co_return Bytes{'o', 'k'};
}

Bytes message(std::uint8_t identifier, std::uint64_t token, Bytes body = {}) {
  Bytes out{identifier};
  codec::appendVarint(out, token);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

class MultiplexerTest : public ::testing::Test {
 protected:
  MultiplexerTest() { std::tie(localEnd, peer) = transport::Connection::makePipe(io.executor()); }

  ~MultiplexerTest() override {
    // End both streams so every read loop finishes before the threads stop.
    peer.close();
    for (auto& multiplexer : multiplexers) EXPECT_TRUE(IoHarness::eventually([&] { return multiplexer.finished(); }));
    io.stop();
  }

  Multiplexer start(ScriptedHandler::Script script = serveComputerGroup, MultiplexerLimits limits = {}) {
    multiplexers.emplace_back(io.executor(), localEnd, std::make_shared<ScriptedHandler>(std::move(script)), limits);
    return multiplexers.back();
  }

  Bytes receiveAtPeer() { return io.await(peer.receive()).value(); }

  void sendFromPeer(Bytes data) { io.await(peer.send(std::move(data))); }

  IoHarness io;
  transport::Connection localEnd{nullptr};
  transport::Connection peer{nullptr};
  std::vector<Multiplexer> multiplexers;
};

// Our requests take tokens 1, 2, 3 of this multiplexer; the peer's own requests may carry the same
// tokens and are served, not taken as replies; replies in reverse order resume the right callers.
// A body in pieces leaves as one message, and its owner goes once it is written.
TEST_F(MultiplexerTest, TokensRepliesInAnyOrderAndBodiesInPieces) {
  auto multiplexer = start();
  std::vector<std::future<Bytes>> calls;
  for (std::uint8_t i = 0; i < 3; ++i) {
    calls.push_back(io.start(multiplexer.sendWithReply(Messages::windowFrame, {i})));
    EXPECT_EQ(receiveAtPeer(), message(0x06, i + 1u, {i}));
  }
  sendFromPeer(message(0x00, 1));
  EXPECT_EQ(receiveAtPeer(), (Bytes{0x00, 0x01, 'o', 'k'}));
  EXPECT_EQ(multiplexer.pendingRequests(), 3u);
  for (std::uint8_t i = 3; i-- > 0;) {
    sendFromPeer(message(0x06, i + 1u, {static_cast<std::uint8_t>('A' + i)}));
    EXPECT_EQ(IoHarness::get(std::move(calls[i])), Bytes{static_cast<std::uint8_t>('A' + i)});
  }
  EXPECT_EQ(multiplexer.pendingRequests(), 0u);
  // A request with identifier 2, token 300 and an empty body.
  io.await(multiplexer.send(300, {}, Messages::displays));
  EXPECT_EQ(receiveAtPeer(), (Bytes{0x02, 0xAC, 0x02}));
  auto owner = std::make_shared<const Bytes>(Bytes{'a', 'b', 'c'});
  std::weak_ptr<const Bytes> watched = owner;
  const ByteView bytes(*owner);
  auto call = io.start(multiplexer.sendPiecesWithReply(
      Messages::windowFrame,
      MessagePieces{.pieces = {bytes.subspan(1), {}, bytes.first(2)}, .owner = std::move(owner)}));
  EXPECT_EQ(receiveAtPeer(), (Bytes{0x06, 0x04, 'b', 'c', 'a', 'b'}));
  EXPECT_TRUE(IoHarness::eventually([&] { return watched.expired(); }));
  sendFromPeer(Bytes{0x06, 0x04});
  EXPECT_TRUE(IoHarness::get(std::move(call)).empty());
}

// Malformed messages are dropped before the handler and the connection keeps working; a slow
// handler does not hold up later messages.
TEST_F(MultiplexerTest, MalformedMessagesAreDroppedAndASlowHandlerHoldsUpNothing) {
  async::Queue<bool> gate;  // opened once
  std::atomic<int> calls = 0;
  auto multiplexer = start([&](Messages message, Bytes data) -> asio::awaitable<std::optional<Bytes>> {
    ++calls;
    if (message == Messages::visionOSHandshake) (void)deserialize<HandshakeRequest>(data);  // throws on a bad body
    if (message == Messages::windowPreview) co_await gate.next();
    co_return co_await serveComputerGroup(message, std::move(data));
  });
  // Dropped: the empty message; identifiers 20 and FF (no such message, the latter without a token); the
  // token missing, cut off, or over 9 bytes; a body that reaches the handler and does not decode; a reply
  // that reaches the handler while nothing waits for it.
  for (const char* data :
       {"", "14 01", "FF", "02", "02 80", "02 80 80 80 80 80 80 80 80 80 01", "00 07 FF 00", "01 07 78"})
    sendFromPeer(codec::testing::hex(data));
  ASSERT_TRUE(IoHarness::eventually([&] { return calls == 2; }));
  sendFromPeer(message(0x03, 1));  // slow
  sendFromPeer(message(0x0B, 2));  // fast
  EXPECT_EQ(receiveAtPeer(), (Bytes{0x0B, 0x02}));
  gate.push(true);
  EXPECT_EQ(receiveAtPeer(), (Bytes{0x03, 0x01, 'o', 'k'}));
  EXPECT_EQ(calls, 4);
  EXPECT_FALSE(multiplexer.finished());
}

TEST_F(MultiplexerTest, AStreamFailureFailsEveryPendingRequest) {
  auto multiplexer = start();
  localEnd.setMaximumMessageSize(4);
  auto first = io.start(multiplexer.sendWithReply(Messages::macOSHandshake, {}));
  auto second = io.start(multiplexer.sendWithReply(Messages::windowFrame, {}));
  for (int i = 0; i < 2; ++i) receiveAtPeer();
  // A message above our limit makes our incoming stream fail.
  sendFromPeer(Bytes(16, 0x00));
  const auto tooLarge =
      ::testing::Property(&std::system_error::code, make_error_code(transport::TransportError::messageTooLarge));
  for (auto* call : {&first, &second})
    EXPECT_THAT([&] { IoHarness::get(std::move(*call)); }, ::testing::Throws<std::system_error>(tooLarge));
  ASSERT_TRUE(IoHarness::eventually([&] { return multiplexer.finished(); }));
  // Nothing can answer a request made now.
  EXPECT_THROW(io.await(multiplexer.sendWithReply(Messages::childWindows, {})), std::system_error);
}

// A normal end fails pending requests too and is told once (at once to a callback added later).
// Replies sent afterwards fail without throwing: counted, and printed in one line, not one per reply.
TEST_F(MultiplexerTest, ANormalEndFailsPendingRequestsAndLaterRepliesAreCountedNotThrown) {
  auto multiplexer = start();
  std::atomic<int> told = 0;
  multiplexer.whenFinished([&told] { ++told; });
  auto pending = io.start(multiplexer.sendWithReply(Messages::macOSHandshake, {}));
  receiveAtPeer();
  EXPECT_EQ(told, 0);
  peer.close();
  EXPECT_THROW(IoHarness::get(std::move(pending)), ConnectionClosed);
  ASSERT_TRUE(IoHarness::eventually([&] { return told == 1; }));
  EXPECT_TRUE(multiplexer.finished());
  multiplexer.whenFinished([&told] { ++told; });
  EXPECT_EQ(told, 2);
  EXPECT_THROW(io.await(multiplexer.sendWithReply(Messages::childWindows, {})), ConnectionClosed);
  EXPECT_EQ(multiplexer.pendingRequests(), 0u);
  std::string expected = std::system_error(make_error_code(transport::TransportError::closed)).what();
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(io.await(multiplexer.send(1, {}, Messages::displays)));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected + "\n");
  EXPECT_EQ(multiplexer.stats().failedSends, 3u);
}

// Requests beyond the bound stay unread until earlier ones are done; none is
// lost and the peak stops at the bound.
TEST_F(MultiplexerTest, ReadingPausesAtTheRequestBoundAndResumesWhenRequestsFinish) {
  for (const std::size_t bound : {std::size_t{1}, std::size_t{4}, std::size_t{16}}) {
    SCOPED_TRACE(bound);
    std::tie(localEnd, peer) = transport::Connection::makePipe(io.executor());
    auto gate = std::make_shared<async::Queue<bool>>();  // each waiter lets the next through
    std::atomic<std::size_t> started = 0;
    auto multiplexer = start(
        [gate, &started](Messages, Bytes) -> asio::awaitable<std::optional<Bytes>> {
          ++started;
          co_await gate->next();
          gate->push(true);
          co_return Bytes{'o', 'k'};
        },
        {.requestsInProgress = bound});
    constexpr int kRequests = 40;
    for (int i = 1; i <= kRequests; ++i) sendFromPeer(message(0x02, static_cast<std::uint64_t>(i)));  // displays
    ASSERT_TRUE(IoHarness::eventually([&] { return started == bound; }));
    EXPECT_EQ(multiplexer.stats().messagesReceived, bound);  // the rest waits unread
    gate->push(true);
    std::set<std::uint8_t> answered;  // tokens up to 40 take one byte
    for (int i = 0; i < kRequests; ++i) answered.insert(receiveAtPeer().at(1));
    EXPECT_EQ(answered.size(), static_cast<std::size_t>(kRequests));
    const Multiplexer::Stats stats = multiplexer.stats();
    EXPECT_EQ(stats.messagesReceived, static_cast<std::uint64_t>(kRequests));
    EXPECT_EQ(stats.requestsInProgressPeak, bound);
    EXPECT_LE(stats.queuedReplyBytesPeak, 2 * bound);
    peer.close();
  }
}

}  // namespace
}  // namespace marlinax::messaging
