// The service to headsets in-process, on loopback: who is served when several
// connections come, and what the events report.

#include "server/HeadsetServer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "peer/Headset.h"
#include "support/IoHarness.h"

namespace marlinax::server {
namespace {

using marlinax::testing::IoHarness;

constexpr std::int64_t kVersion = 5;

// The server with every event recorded as one line, and headsets to connect to it.
struct RecordedServer {
  RecordedServer() {
    Services services;
    services.version = kVersion;
    HeadsetServerOptions options;
    options.advertise = false;
    HeadsetServerEvents events;
    events.listening = [this](std::uint16_t listeningPort) {
      record("listening");
      port = listeningPort;
    };
    events.connected = [this](const std::string& name, std::int64_t theirs, std::int64_t ours) {
      record("connected " + name + " " + std::to_string(theirs) + "/" + std::to_string(ours));
    };
    events.disconnected = [this](std::size_t stopped) { record("disconnected " + std::to_string(stopped)); };
    events.sessionFailed = [this](const std::string& reason) { record("failed " + reason); };
    server = std::make_unique<HeadsetServer>(services, options, events);
    server->start();
    EXPECT_TRUE(IoHarness::eventually([&] { return port != 0; }));
  }

  void record(const std::string& line) {
    std::lock_guard lock(mutex);
    log += line + "\n";
  }
  std::string recorded() {
    std::lock_guard lock(mutex);
    return log;
  }

  std::shared_ptr<peer::HeadsetSession> headset(std::string name, std::int64_t version = kVersion) {
    return io.await(peer::HeadsetSession::open(io.executor(), "127.0.0.1", port, {},
                                               peer::HeadsetIdentity{.version = version, .name = std::move(name)}));
  }

  IoHarness io;
  std::mutex mutex;
  std::string log;
  std::atomic<std::uint16_t> port = 0;
  std::unique_ptr<HeadsetServer> server;
};

// A headset that answers the handshake and leaves at once can end its
// connection before the server has taken it as served; its end is still
// reported, every time, and the server listens again.
TEST(HeadsetServer, AHeadsetLeavingRightAfterTheHandshakeIsReportedGone) {
  // A round ends with the server listening again, or with the failure of a
  // handshake whose answer the headset did not get out before leaving.
  auto recordedRounds = [](std::string_view log, int rounds) {
    constexpr std::string_view served = "connected Brief 5/5\ndisconnected 0\nlistening\n";
    if (!log.starts_with("listening\n")) return false;
    log.remove_prefix(log.find('\n') + 1);
    for (; rounds > 0; --rounds) {
      const std::size_t lineEnd = log.find('\n');
      if (log.starts_with(served)) {
        log.remove_prefix(served.size());
      } else if (log.starts_with("failed ") && lineEnd != log.npos) {
        log.remove_prefix(lineEnd + 1);
      } else {
        return false;
      }
    }
    return log.empty();
  };
  // The end overtakes the server's taking the connection as served in only
  // some rounds, so there are many.
  RecordedServer server;
  for (int round = 1; round <= 100; ++round) {
    server.headset("Brief")->close();
    ASSERT_TRUE(IoHarness::eventually([&] { return recordedRounds(server.recorded(), round); })) << server.recorded();
  }
}

// Connections that stall before or inside TLS do not stand in the way: the
// headset is served while they are still connected, and they are closed then.
// The next headset completing the handshake replaces it whatever its version
// (reported with both); stopping ends the served connection and reports nothing more.
TEST(HeadsetServer, StalledConnectionsDoNotHoldUpAHeadsetAndTheNextOneReplacesIt) {
  RecordedServer server;
  asio::io_context local;
  std::vector<asio::ip::tcp::socket> stalled;
  const std::uint8_t partialHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
  for (int i = 0; i < 12; ++i) {
    stalled.emplace_back(local).connect({asio::ip::make_address("127.0.0.1"), server.port});
    if (i % 2 == 1) stalled.back().write_some(asio::buffer(partialHello));
  }
  auto first = server.headset("First");
  ASSERT_TRUE(IoHarness::eventually([&] { return server.recorded() == "listening\nconnected First 5/5\n"; }));
  // Every stalled connection was closed: evicted, or dropped once the headset was served.
  for (auto& socket : stalled) {
    std::array<char, 16> buffer{};
    std::error_code error;
    while (!error) socket.read_some(asio::buffer(buffer), error);
    EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
  }
  auto second = server.headset("Second", kVersion - 1);
  const std::string both = "listening\nconnected First 5/5\ndisconnected 0\nconnected Second 4/5\n";
  ASSERT_TRUE(IoHarness::eventually([&] { return server.recorded() == both && first->multiplexer().finished(); }))
      << server.recorded();
  EXPECT_FALSE(second->multiplexer().finished());
  server.server->stop();
  ASSERT_TRUE(IoHarness::eventually([&] { return second->multiplexer().finished(); }));
  EXPECT_EQ(server.recorded(), both);
}

}  // namespace
}  // namespace marlinax::server
