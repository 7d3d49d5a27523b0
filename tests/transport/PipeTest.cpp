// The in-memory connection pair the unit tests of the layers above run on. Its
// streams are async::Queues: cancelled and concurrent reads are the queue's test.
#include <gtest/gtest.h>

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
  auto pending = io.start(client.receive());
  const std::vector<Bytes> sent = {Bytes{1}, Bytes{}, Bytes{2, 3}};
  io.await(server.connect());
  io.await(client.connect());
  for (const Bytes& message : sent) io.await(client.send(message));
  io.await(server.send(Bytes(1, 4)));
  for (const Bytes& expected : sent) EXPECT_EQ(io.await(server.receive()), expected);
  io.await(client.send(Bytes(1, 7)));
  client.close();
  client.close();  // idempotent
  EXPECT_EQ(io.await(server.receive()), Bytes(1, 7));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(io.await(server.receive()), std::nullopt);
  for (Connection* side : {&server, &client}) {
    EXPECT_EQ(io.await(failureOf(side->send(Bytes(1, 1)))), TransportError::closed);
    EXPECT_EQ(io.await(failureOf(side->connect())), TransportError::closedBeforeReady);
  }
  EXPECT_EQ(IoHarness::get(std::move(pending)), Bytes(1, 4));
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
