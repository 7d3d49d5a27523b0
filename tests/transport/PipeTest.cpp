// The in-memory connection pair the unit tests of the layers above run on.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "support/IoHarness.h"
#include "transport/Connection.h"
#include "transport/TransportError.h"

namespace marlinax::transport {
namespace {

using marlinax::testing::IoHarness;

template <typename Awaitable>
asio::awaitable<std::error_code> failureOf(Awaitable awaitable) {
  try {
    co_await std::move(awaitable);
  } catch (const std::system_error& error) {
    co_return error.code();
  }
  co_return std::error_code();
}

Bytes tagged(std::uint8_t sender, std::uint8_t index) {
  Bytes body(5 + index % 37, sender);
  body.push_back(index);
  return body;
}

// Buffered in order (empty messages too), a pending receive wakes on a message,
// and close ends both streams after what was buffered.
TEST(Pipe, MessagesFlowInOrderAndCloseEndsBothStreams) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  EXPECT_TRUE(server.listening());
  EXPECT_FALSE(client.listening());
  auto pending = asio::co_spawn(io.io(), client.receive(), asio::use_future);
  // Braced temporaries stay out of the coroutines: g++ 12 miscompiles them there.
  const std::vector<Bytes> sent = {Bytes{1}, Bytes{}, Bytes{2, 3}};
  io.await([](Connection server, Connection client, std::vector<Bytes> sent) -> asio::awaitable<void> {
    co_await server.connect();
    co_await client.connect();
    for (const Bytes& message : sent) co_await client.send(message);
    co_await server.send(Bytes(1, 4));
    for (const Bytes& expected : sent) {
      auto got = co_await server.receive();
      EXPECT_EQ(got, expected);
    }
    co_await client.send(Bytes(1, 7));
    client.close();
    client.close();  // idempotent
    auto last = co_await server.receive();
    EXPECT_EQ(last, Bytes(1, 7));
    for (int i = 0; i < 2; ++i) {
      auto end = co_await server.receive();
      EXPECT_EQ(end, std::nullopt);
    }
    Connection* sides[] = {&server, &client};
    for (Connection* side : sides) {
      auto sendError = co_await failureOf(side->send(Bytes(1, 1)));
      EXPECT_EQ(sendError, TransportError::closed);
      auto connectError = co_await failureOf(side->connect());
      EXPECT_EQ(connectError, TransportError::closedBeforeReady);
    }
  }(server, client, sent));
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(pending.get(), Bytes(1, 4));
  EXPECT_EQ(io.await(client.receive()), std::nullopt);
}

TEST(Pipe, CancelledReceiveLeavesLaterMessagesForTheNextOne) {
  using namespace asio::experimental::awaitable_operators;
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(1));
    auto raced = co_await (server.receive() || timer.async_wait(asio::use_awaitable));
    EXPECT_EQ(raced.index(), 1u);
    co_await client.send(Bytes(1, 5));
    auto got = co_await server.receive();
    EXPECT_EQ(got, Bytes(1, 5));
  }(server, client));
}

TEST(Pipe, ConcurrentSendersNeverLoseOrMixMessages) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  constexpr std::uint8_t kSenders = 8, kPerSender = 200;
  for (std::uint8_t sender = 0; sender < kSenders; ++sender) {
    asio::co_spawn(
        io.io(),
        [](Connection client, std::uint8_t sender) -> asio::awaitable<void> {
          for (std::uint8_t i = 0; i < kPerSender; ++i) co_await client.send(tagged(sender, i));
        }(client, sender),
        asio::detached);
  }
  io.await([](Connection server) -> asio::awaitable<void> {
    std::vector<std::uint8_t> next(kSenders, 0);
    for (int n = 0; n < kSenders * kPerSender; ++n) {
      auto message = co_await server.receive();
      if (!message) {
        ADD_FAILURE() << "stream ended";
        co_return;
      }
      const std::uint8_t sender = message->front(), index = message->back();
      EXPECT_EQ(*message, tagged(sender, index));
      EXPECT_EQ(index, next[sender]++);  // each sender's messages keep their order
    }
  }(server));
}

TEST(Pipe, OversizeMessageFailsTheReceiver) {
  IoHarness io;
  auto [server, client] = Connection::makePipe(io.executor());
  server.setMaximumMessageSize(4);
  io.await([](Connection server, Connection client) -> asio::awaitable<void> {
    co_await client.send(Bytes(4, 1));
    co_await client.send(Bytes(5, 1));
    auto whole = co_await server.receive();
    EXPECT_EQ(whole, Bytes(4, 1));
    auto error = co_await failureOf(server.receive());
    EXPECT_EQ(error, TransportError::messageTooLarge);
    auto end = co_await client.receive();
    EXPECT_EQ(end, std::nullopt);
  }(server, client));
}

}  // namespace
}  // namespace marlinax::transport
