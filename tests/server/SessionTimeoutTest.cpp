// A client that opens TCP and never starts TLS must not keep the session loop
// (and with it every real headset) waiting: the loop gives up on it after the
// TLS handshake timeout, and a headset that completes TLS in time is served.

#include <chrono>
#include <future>

#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "support/IoHarness.h"
#include "messaging/SessionLoop.h"
#include "peer/Headset.h"
#include "server/ProtocolImplementation.h"

namespace marlinax::messaging {
namespace {

using testing::IoHarness;

struct TimedLoop {
  explicit TimedLoop(IoHarness& io, std::chrono::milliseconds timeout) {
    SessionLoop::Options options;
    options.version = 1;
    options.advertise = false;
    options.tlsHandshakeTimeout = timeout;
    options.makeHandler = [] {
      server::Services services;
      services.version = 1;
      services.computerName = [] { return std::string("Test Computer"); };
      return std::make_shared<server::ProtocolImplementation>(services);
    };
    options.listening = [this](std::uint16_t p) { port.set_value(p); };
    options.publish = [this](Remote remote) { published.set_value(std::move(remote)); };
    loop = std::make_unique<SessionLoop>(io.executor(), std::move(options));
    outcome = io.start(loop->run());
    listeningPort = IoHarness::get(port.get_future());
  }
  ~TimedLoop() {
    loop->stop();
    if (outcome.valid())
      IoHarness::finishes(outcome);
  }

  std::promise<std::uint16_t> port;
  std::promise<Remote> published;
  std::uint16_t listeningPort = 0;
  std::unique_ptr<SessionLoop> loop;
  std::future<SessionOutcome> outcome;
};

TEST(SessionTimeout, ClientThatNeverStartsTlsIsGivenUp) {
  IoHarness io;
  TimedLoop timed(io, std::chrono::milliseconds(200));
  asio::io_context local;
  asio::ip::tcp::socket silent(local);
  silent.connect({asio::ip::make_address("127.0.0.1"), timed.listeningPort});
  // The silent client sends nothing; the loop ends on its own.
  ASSERT_TRUE(IoHarness::finishes(timed.outcome));
  EXPECT_EQ(timed.outcome.get(), SessionOutcome::connectFailed);
  // The server closed the connection it gave up on.
  char byte = 0;
  std::error_code error;
  silent.read_some(asio::buffer(&byte, 1), error);
  EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
  io.stop();
}

TEST(SessionTimeout, HeadsetThatCompletesTlsInTimeIsServed) {
  IoHarness io;
  TimedLoop timed(io, std::chrono::seconds(30));
  auto session = io.await(peer::HeadsetSession::open(io.executor(), "127.0.0.1", timed.listeningPort, Bytes(),
                                                     {.version = 1, .name = "Headset"}));
  ASSERT_TRUE(IoHarness::finishes(timed.outcome));
  EXPECT_EQ(timed.outcome.get(), SessionOutcome::connected);
  auto reply = io.await(session->call<serverMessages::VisionOSHandshake>({.version = 1}));
  EXPECT_EQ(reply.name, "Test Computer");
  Remote computerSide = IoHarness::get(timed.published.get_future());
  session->close();
  EXPECT_TRUE(IoHarness::eventually([&] { return session->multiplexer().finished(); }));
  // The computer's side sees the end too; stopping the threads earlier would
  // leave its read loop suspended for good.
  EXPECT_TRUE(IoHarness::eventually([&] { return computerSide.connection.finished(); }));
  io.stop();
}

}  // namespace
}  // namespace marlinax::messaging
