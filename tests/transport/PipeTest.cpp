#include "support/IoHarness.h"
#include "transport/Connection.h"
#include "transport/TransportError.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <set>

namespace marlinax::transport {
namespace {

using marlinax::testing::IoHarness;

Bytes tagged(std::uint32_t sender, std::uint32_t index, std::size_t size) {
  Bytes body(size, static_cast<std::uint8_t>(sender));
  for (int i = 0; i < 4 && i < static_cast<int>(size); ++i) {
    body[i] = static_cast<std::uint8_t>(index >> (8 * i));
  }
  return body;
}

TEST(Pipe, MessagesFlowBothWaysInOrderIncludingEmptyOnes) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  EXPECT_TRUE(server.listening());
  EXPECT_FALSE(client.listening());
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    co_await server.connect();
    co_await client.connect();
    // Sent before anyone reads: buffered in order.
    Bytes m1{1}; co_await client.send(std::move(m1));
    Bytes m2{}; co_await client.send(std::move(m2));
    Bytes m3{2, 3}; co_await client.send(std::move(m3));
    Bytes m4{}; co_await server.send(std::move(m4));
    { auto got = co_await server.receive(); EXPECT_EQ(got, Bytes{1}); }
    { auto got = co_await server.receive(); EXPECT_EQ(got, Bytes{}); }
    { auto got = co_await server.receive(); EXPECT_EQ(got, (Bytes{2, 3})); }
    { auto got = co_await client.receive(); EXPECT_EQ(got, Bytes{}); }
  }(server, client));
}

TEST(Pipe, CloseEndsBothStreamsNormallyAfterBufferedMessages) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    Bytes m5{7}; co_await client.send(std::move(m5));
    client.close();
    client.close();  // idempotent
    { auto got = co_await server.receive(); EXPECT_EQ(got, Bytes{7}); }
    { auto got = co_await server.receive(); EXPECT_EQ(got, std::nullopt); }
    { auto got = co_await server.receive(); EXPECT_EQ(got, std::nullopt); }
    { auto got = co_await client.receive(); EXPECT_EQ(got, std::nullopt); }
    Connection* sides[] = {&server, &client};
    for (Connection* side : sides) {
      try {
        Bytes one(1, 1);
        co_await side->send(std::move(one));
        ADD_FAILURE() << "send after close succeeded";
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), TransportError::closed);
      }
      try {
        co_await side->connect();
        ADD_FAILURE() << "connect after close succeeded";
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), TransportError::closedBeforeReady);
      }
    }
  }(server, client));
}

TEST(Pipe, PendingReceiveWakesOnMessageAndOnClose) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  auto first = asio::co_spawn(io.io(), server.receive(), asio::use_future);
  auto second = asio::co_spawn(io.io(), client.receive(), asio::use_future);
  io.await(client.send(Bytes{4, 2}));
  ASSERT_EQ(first.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(first.get(), (Bytes{4, 2}));
  server.close();
  ASSERT_EQ(second.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(second.get(), std::nullopt);
}

TEST(Pipe, CancelledReceiveLeavesLaterMessagesForTheNextOne) {
  using namespace asio::experimental::awaitable_operators;
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(1));
    // The timer wins: nothing was sent, so the receive is cancelled.
    auto raced = co_await (server.receive() || timer.async_wait(asio::use_awaitable));
    EXPECT_EQ(raced.index(), 1u);
    Bytes m6{5}; co_await client.send(std::move(m6));
    { auto got = co_await server.receive(); EXPECT_EQ(got, Bytes{5}); }
  }(server, client));
}

TEST(Pipe, ConcurrentSendersNeverLoseOrMixMessages) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  constexpr std::uint32_t kSenders = 8, kPerSender = 200;
  std::atomic<int> done{0};
  for (std::uint32_t sender = 0; sender < kSenders; ++sender) {
    asio::co_spawn(
        io.io(),
        [](Connection client, std::uint32_t sender, std::atomic<int>& done) -> asio::awaitable<void> {
          for (std::uint32_t i = 0; i < kPerSender; ++i) {
            co_await client.send(tagged(sender, i, 5 + (i % 37)));
          }
          ++done;
        }(client, sender, done),
        asio::detached);
  }
  io.await([](Connection server) -> asio::awaitable<void> {
    std::vector<std::uint32_t> nextIndex(kSenders, 0);
    for (std::uint32_t n = 0; n < kSenders * kPerSender; ++n) {
      auto message = co_await server.receive();
      EXPECT_TRUE(message);
      if (!message) co_return;
      const std::uint32_t sender = message->back();
      const std::uint32_t index = (*message)[0] | (*message)[1] << 8 | (*message)[2] << 16 | (*message)[3] << 24;
      EXPECT_EQ(*message, tagged(sender, index, message->size()));
      // Each sender's messages keep their order.
      EXPECT_EQ(index, nextIndex[sender]++);
    }
  }(server));
  EXPECT_EQ(done.load(), static_cast<int>(kSenders));
}

TEST(Pipe, OversizeMessageFailsTheReceiver) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  server.setMaximumMessageSize(4);
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    co_await client.send(Bytes(4, 1));
    co_await client.send(Bytes(5, 1));
    { auto got = co_await server.receive(); EXPECT_EQ(got, Bytes(4, 1)); }
    try {
      co_await server.receive();
      ADD_FAILURE() << "oversize message delivered";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), TransportError::messageTooLarge);
    }
    { auto got = co_await client.receive(); EXPECT_EQ(got, std::nullopt); }
  }(server, client));
}

}  // namespace
}  // namespace marlinax::transport
