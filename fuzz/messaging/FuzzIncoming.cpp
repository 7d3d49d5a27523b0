// The server's incoming path: arbitrary bytes as they would arrive from a
// headset go through the frame reader, then each whole message through the
// multiplexer (identifier, token, body) into the server handler, which decodes
// the body as its request and serves it with in-memory platform services.
// Replies are collected on the other end of an in-memory pair.

#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>

#include "messaging/Multiplexer.h"
#include "platform/fake/FakeCapture.h"
#include "platform/fake/FakeInputPoster.h"
#include "server/ProtocolImplementation.h"
#include "transport/Framing.h"

namespace {

using namespace marlinax;

server::Services fakeServices() {
  server::Services services;
  // One small display, so that display, preview and input requests find it.
  services.capture = std::make_shared<platform::FakeCaptureService>(
      std::vector<platform::DisplayInfo>{{.displayID = 1, .frame = {0, 0, 64, 32}}});
  services.input = std::make_shared<platform::FakeInputPoster>();
  services.computerName = [] { return std::string("fuzz"); };
  services.version = 1;
  return services;
}

asio::awaitable<void> deliver(transport::Connection peer, std::vector<Bytes> messages) {
  for (auto& message : messages) co_await peer.send(std::move(message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Bytes as the headset writes them: big-endian length headers.
  transport::FrameReader reader(1 << 20);
  std::vector<Bytes> messages;
  try {
    reader.feed(ByteView(data, size));
  } catch (const std::system_error&) {
    // An oversize header ends the stream; the messages before it still count.
  }
  while (auto message = reader.next()) messages.push_back(std::move(*message));

  asio::io_context io;
  auto [local, peer] = transport::Connection::makePipe(io.get_executor());
  auto handler = std::make_shared<server::ProtocolImplementation>(fakeServices());
  // No remote is set: frames and child-window lists the requests start have
  // nowhere to go and are dropped, which keeps every input short.
  messaging::Multiplexer multiplexer(io.get_executor(), local, handler);

  asio::co_spawn(io, deliver(peer, std::move(messages)), asio::detached);
  // Serve everything that can be served, then end the connection, stop
  // whatever the requests started and let every task finish.
  while (io.poll() > 0) {
  }
  peer.close();
  handler->endConnection();
  io.restart();
  io.run();
  return 0;
}
