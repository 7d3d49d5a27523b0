// The session loop over loopback TLS with the real listener (DNS-SD may be
// absent; advertising trouble must not matter), the server's handler and the
// test peer's headset side.
// A client that opens TCP and never starts TLS must not keep the loop (and with
// it every real headset) waiting: the loop gives up on it after the TLS
// handshake timeout.

#include "messaging/SessionLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>

#include "peer/Headset.h"
#include "server/ProtocolImplementation.h"
#include "support/IoHarness.h"

namespace marlinax::messaging {
namespace {

using testing::IoHarness;

// One loop, listening on an ephemeral loopback port. A loop still running at
// the end is stopped, which must end it as a loop that never had a connection.
struct LoopUnderTest {
  explicit LoopUnderTest(server::Services services = {},
                         std::chrono::milliseconds tlsHandshakeTimeout = std::chrono::seconds(30)) {
    SessionLoop::Options options;
    options.version = 1;
    options.tlsHandshakeTimeout = tlsHandshakeTimeout;
    options.makeHandler = [services] { return std::make_shared<server::ProtocolImplementation>(services); };
    // Called before the loop ends: read once the outcome is in.
    options.publish = [this](Remote remote) { published.push_back(remote); };
    options.listening = [this](std::uint16_t p) { port.set_value(p); };
    loop = std::make_unique<SessionLoop>(io.executor(), std::move(options));
    outcome = io.start(loop->run());
    listeningPort = IoHarness::get(port.get_future());
  }

  ~LoopUnderTest() {
    loop->stop();
    if (outcome.valid()) {
      EXPECT_TRUE(IoHarness::finishes(outcome) && outcome.get() == SessionOutcome::listenerEnded);
    }
    // Every read loop ends before the threads stop, so nothing is left waiting.
    for (auto& remote : published) {
      remote.connection.connection().close();
      EXPECT_TRUE(IoHarness::eventually([&] { return remote.connection.finished(); }));
    }
    published.clear();
    io.stop();
  }

  IoHarness io;
  std::promise<std::uint16_t> port;
  std::uint16_t listeningPort = 0;
  std::unique_ptr<SessionLoop> loop;
  std::future<SessionOutcome> outcome;
  std::vector<Remote> published;
};

// Either way the loop stops listening and the connection is served; only a
// matching version publishes the headset, whose remote then reaches it. The
// handler's reply to the headset's handshake carries the handler's version
// whatever the headset's, and always a non-empty UTF-8 name: host names are
// bytes, and reading one may fail. Child-window watching is answered without a
// capture service too.
TEST(SessionLoop, TheHandshakeVersionDecidesWhetherTheHeadsetIsPublishedAndTheHandlerAnswersIt) {
  struct Case {
    std::int64_t version;  // the headset's
    std::function<std::string()> computerName;
    std::optional<std::int64_t> handlerVersion;
    HandshakeReply reply;
  };
  const Case cases[] = {
      {1, [] { return std::string("J\xFCrgen's PC"); }, std::nullopt, {1, "J\uFFFDrgen's PC"}},
      {2, []() -> std::string { throw std::runtime_error("no name"); }, 7, {7, server::kFallbackComputerName}},
      {1, [] { return std::string(); }, 7, {7, server::kFallbackComputerName}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.name);
    server::Services services;
    services.computerName = c.computerName;
    services.version = c.handlerVersion;
    LoopUnderTest loop(services);
    auto headset = loop.io.await(peer::HeadsetSession::open(loop.io.executor(), "127.0.0.1", loop.listeningPort,
                                                            Bytes(), {.version = c.version, .name = "Vision Test"}));
    EXPECT_EQ(IoHarness::get(std::move(loop.outcome)),
              c.version == 1 ? SessionOutcome::connected : SessionOutcome::versionMismatch);
    EXPECT_TRUE(IoHarness::eventually([&] {
      asio::io_context local;
      asio::ip::tcp::socket socket(local);
      std::error_code error;
      socket.connect({asio::ip::make_address("127.0.0.1"), loop.listeningPort}, error);
      return error == asio::error::connection_refused;
    }));
    EXPECT_EQ(loop.io.await(headset->call<serverMessages::VisionOSHandshake>({.version = 99})), c.reply);
    loop.io.await(headset->call<serverMessages::StartWatchingForChildWindows>({.identifier = 1}));
    loop.io.await(headset->call<serverMessages::StopWatchingForChildWindows>({.identifier = 1}));
    ASSERT_EQ(loop.published.size(), c.version == 1 ? 1u : 0u);
    if (c.version == 1) {
      EXPECT_EQ(loop.published[0].name, "Vision Test");
      EXPECT_EQ(headset->handler().computerVersion(), 1);
      loop.io.await(loop.published[0].childWindows({.parent = 3, .children = {4, 5}}));
      EXPECT_EQ(headset->handler().childWindowListsReceived(), 1u);
    }
    headset->close();
    EXPECT_TRUE(IoHarness::eventually([&] { return headset->multiplexer().finished(); }));
  }
}

TEST(SessionLoop, ASecondConnectionIsNeverServed) {
  LoopUnderTest loop;
  // The first connection is secured but does not answer the handshake yet.
  auto first = loop.io.await(transport::openConnection(loop.io.executor(), "127.0.0.1", loop.listeningPort, Bytes()));
  auto handshake = loop.io.await(first.receive());
  ASSERT_TRUE(handshake && handshake->size() >= 2 && (*handshake)[0] == 0x01);  // a request, with its token

  // A second headset gets its TCP connection accepted but is never secured.
  auto second = loop.io.start(transport::openConnection(loop.io.executor(), "127.0.0.1", loop.listeningPort, Bytes()));
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);

  Bytes reply = serialize(HandshakeReply{.version = 1, .name = "First"});
  reply.insert(reply.begin(), {0x01, (*handshake)[1]});
  loop.io.await(first.send(reply));
  EXPECT_EQ(IoHarness::get(std::move(loop.outcome)), SessionOutcome::connected);
  EXPECT_EQ(loop.published.size(), 1u);

  // Once the loop ended the waiting connection is released unserved.
  EXPECT_THROW(IoHarness::get(std::move(second)), std::system_error);
  first.close();
}

TEST(SessionLoop, ClientThatNeverStartsTlsIsGivenUp) {
  LoopUnderTest loop({}, std::chrono::milliseconds(200));
  asio::io_context local;
  asio::ip::tcp::socket silent(local);
  silent.connect({asio::ip::make_address("127.0.0.1"), loop.listeningPort});
  EXPECT_EQ(IoHarness::get(std::move(loop.outcome)), SessionOutcome::connectFailed);
  // The server closed the connection it gave up on.
  char byte = 0;
  std::error_code error;
  silent.read_some(asio::buffer(&byte, 1), error);
  EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
}

// Stopped by the fixture.
TEST(SessionLoop, StoppingBeforeAConnectionEndsTheLoop) { LoopUnderTest loop; }

}  // namespace
}  // namespace marlinax::messaging
