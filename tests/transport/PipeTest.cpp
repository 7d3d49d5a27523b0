// The in-memory connection pair the unit tests of the layers above run on. Its
// streams are async::Queues: cancelled and concurrent reads are the queue's test.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
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

// Buffered in order (empty messages too), a pending receive wakes on a message,
// and close ends both streams after what was buffered.
TEST(Pipe, MessagesFlowInOrderAndCloseOrAnOversizeMessageEndsThem) {
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

  // A message over the receiver's limit fails its stream after what came
  // before, and ends the sender's.
  auto [receiver, sender] = Connection::makePipe(io.executor());
  receiver.setMaximumMessageSize(4);
  io.await(sender.send(Bytes(4, 1)));
  io.await(sender.send(Bytes(5, 1)));
  EXPECT_EQ(io.await(receiver.receive()), Bytes(4, 1));
  EXPECT_EQ(io.await(failureOf(receiver.receive())), TransportError::messageTooLarge);
  EXPECT_EQ(io.await(sender.receive()), std::nullopt);
}

}  // namespace
}  // namespace marlinax::transport
