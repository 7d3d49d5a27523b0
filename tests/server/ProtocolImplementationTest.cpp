// The server handler's answers, through a real multiplexer on an in-memory pair.

#include <gtest/gtest.h>

#include "support/IoHarness.h"
#include "messaging/Multiplexer.h"
#include "messaging/ProtocolVersion.h"
#include "server/ProtocolImplementation.h"

namespace marlinax::server {
namespace {

using namespace messaging;
using testing::IoHarness;

Services withName(std::function<std::string()> computerName, std::optional<std::int64_t> version = std::nullopt) {
  Services services;
  services.computerName = std::move(computerName);
  services.version = version;
  return services;
}

class ServerHandlerTest : public ::testing::Test {
 protected:
  void start(Services services) {
    handler = std::make_shared<ProtocolImplementation>(std::move(services));
    auto [local, remote] = transport::Connection::makePipe(io.executor());
    peer = remote;
    multiplexer.emplace(io.executor(), local, handler);
  }

  ~ServerHandlerTest() override {
    peer.close();
    if (multiplexer) {
      EXPECT_TRUE(IoHarness::eventually([&] { return multiplexer->finished(); }));
    }
    io.stop();
  }

  void send(Bytes message) { io.await(peer.send(std::move(message))); }
  Bytes receive() {
    auto message = io.await(peer.receive());
    if (!message)
      throw std::runtime_error("stream ended");
    return *message;
  }
  static Bytes message(std::uint8_t identifier, std::uint8_t token, const Bytes& body = {}) {
    Bytes out{identifier, token};
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  IoHarness io;
  std::shared_ptr<ProtocolImplementation> handler;
  transport::Connection peer{nullptr};
  std::optional<Multiplexer> multiplexer;
};

TEST_F(ServerHandlerTest, HandshakeReplyCarriesTheVersionAndTheComputerName) {
  // Host names are bytes; the headset's decoder accepts only UTF-8.
  start(withName([] { return std::string("J\xFCrgen's PC"); }));
  // The headset's version is not compared with anything.
  send(message(0x00, 0x04, serialize(HandshakeRequest{.version = 99})));
  Bytes reply = receive();
  ASSERT_GE(reply.size(), 2u);
  EXPECT_EQ(reply[0], 0x00);
  EXPECT_EQ(reply[1], 0x04);
  auto decoded = deserialize<HandshakeReply>(ByteView(reply).subspan(2));
  EXPECT_EQ(decoded.version, protocolVersion());
  EXPECT_EQ(decoded.version, 1);
  EXPECT_EQ(decoded.name, "J\uFFFDrgen's PC");
}

TEST_F(ServerHandlerTest, UnreadableOrEmptyComputerNameFallsBack) {
  int calls = 0;
  start(withName(
      [&calls]() -> std::string {
        if (++calls == 1)
          throw std::runtime_error("no name");
        return "";
      },
      7));
  for (std::uint8_t token : {1, 2}) {
    send(message(0x00, token, serialize(HandshakeRequest{.version = 7})));
    Bytes reply = receive();
    auto decoded = deserialize<HandshakeReply>(ByteView(reply).subspan(2));
    EXPECT_EQ(decoded.name, fallbackComputerName);
    EXPECT_EQ(decoded.version, 7);
  }
}

TEST_F(ServerHandlerTest, HeadsetServedIdentifiersAndUndecodableRequestsAreNeverAnswered) {
  start(withName([] { return std::string("pc"); }));
  // As requests they would be answered before the sentinel below; as replies
  // to requests we never sent they are dropped.
  send(message(0x01, 0x01, serialize(HandshakeRequest{.version = 1})));
  send(message(0x06, 0x02, Bytes{0x01, 0x02}));
  send(message(0x0A, 0x03));
  // Bodies that do not decode as the message's request.
  send(message(0x00, 0x05, Bytes{0x01}));
  send(message(0x04, 0x06, serialize(HandshakeRequest{.version = 1})));
  send(message(0x13, 0x07, Bytes{}));
  for (Messages direct : {Messages::macOSHandshake, Messages::windowFrame, Messages::childWindows})
    EXPECT_EQ(io.await(handler->handle(direct, {})), std::nullopt);
  send(message(0x00, 0x08, serialize(HandshakeRequest{.version = 1})));
  Bytes reply = receive();
  EXPECT_EQ(reply[1], 0x08);
}

TEST_F(ServerHandlerTest, ChildWindowWatchingIsAnsweredWithoutACaptureService) {
  start({});
  const Bytes body = serialize(serverMessages::StartWatchingForChildWindows::Request{.identifier = 1});
  for (std::uint8_t identifier : {0x08, 0x09}) {
    send(message(identifier, identifier, body));
    EXPECT_EQ(receive(), (Bytes{identifier, identifier})) << "the empty reply";
  }
}

TEST_F(ServerHandlerTest, RemoteIsSetOnce) {
  start({});
  EXPECT_FALSE(handler->remote().has_value());
  handler->setRemote(Remote(*multiplexer));
  ASSERT_TRUE(handler->remote().has_value());
  EXPECT_FALSE(handler->remote()->name.has_value());
}

}  // namespace
}  // namespace marlinax::server
