// The server handler's answers, through a real multiplexer on an in-memory pair.

#include "server/ProtocolImplementation.h"

#include <gtest/gtest.h>

#include "messaging/Multiplexer.h"
#include "support/IoHarness.h"

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

  void stop() {
    peer.close();
    if (multiplexer) {
      EXPECT_TRUE(IoHarness::eventually([&] { return multiplexer->finished(); }));
    }
    multiplexer.reset();
  }
  ~ServerHandlerTest() override {
    stop();
    io.stop();
  }

  void send(Bytes message) { io.await(peer.send(std::move(message))); }
  Bytes receive() {
    auto message = io.await(peer.receive());
    if (!message) throw std::runtime_error("stream ended");
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

// The reply carries our version whatever the headset's is, and always a
// non-empty UTF-8 name: host names are bytes, and reading one may fail.
TEST_F(ServerHandlerTest, HandshakeReplyCarriesTheVersionAndAValidComputerName) {
  struct Case {
    std::function<std::string()> name;
    std::optional<std::int64_t> version;
    std::string sent;
    std::int64_t sentVersion;
  };
  const Case cases[] = {
      {[] { return std::string("J\xFCrgen's PC"); }, std::nullopt, "J\uFFFDrgen's PC", 1},
      {[]() -> std::string { throw std::runtime_error("no name"); }, 7, kFallbackComputerName, 7},
      {[] { return std::string(); }, 7, kFallbackComputerName, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    start(withName(c.name, c.version));
    send(message(0x00, 0x04, serialize(HandshakeRequest{.version = 99})));
    Bytes reply = receive();
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 2), (Bytes{0x00, 0x04})) << "the handshake's identifier and token";
    auto decoded = deserialize<HandshakeReply>(ByteView(reply).subspan(2));
    EXPECT_EQ(decoded.version, c.sentVersion);
    EXPECT_EQ(decoded.name, c.sent);
    stop();
  }
}

TEST_F(ServerHandlerTest, ChildWindowWatchingIsAnsweredWithoutACaptureService) {
  start({});
  const Bytes body = serialize(serverMessages::StartWatchingForChildWindows::Request{.identifier = 1});
  for (std::uint8_t identifier : {0x08, 0x09}) {
    send(message(identifier, identifier, body));
    EXPECT_EQ(receive(), (Bytes{identifier, identifier})) << "the empty reply";
  }
}

}  // namespace
}  // namespace marlinax::server
