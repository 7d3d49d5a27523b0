// Serving a message: the identifier picks the operation, the body is decoded
// as that message's request, and the reply is encoded; failures mean no reply.

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "messaging/Multiplexer.h"
#include "messaging/Protocols.h"
#include "support/IoHarness.h"

namespace marlinax::messaging {
namespace {

using testing::IoHarness;
using namespace serverMessages;
using Call = std::pair<Messages, std::uint32_t>;

const Windows::Reply kDisplays{
    .displays = {Display{.identifier = 7, .title = "Display 7", .app = "", .frame = {}, .windowLayer = 0}}};

// Records each operation that ran, as its message's identifier, with the request's display
// identifier (the handshake: its version). Operations run on the harness's threads; the test reads
// the record once the awaited call has returned.
class RecordingServer : public ServerProtocol {
 public:
  std::vector<Call> calls;

#define RECORD(Operation, Message)                                                                                     \
  asio::awaitable<SerializableVoid> Operation(Message::Request request) override {                                     \
    calls.emplace_back(Message::identifier, request.identifier);                                                       \
    co_return SerializableVoid{};                                                                                      \
  }

  asio::awaitable<VisionOSHandshake::Reply> visionOSHandshake(VisionOSHandshake::Request request) override {
    calls.emplace_back(VisionOSHandshake::identifier, static_cast<std::uint32_t>(request.version));
    co_return VisionOSHandshake::Reply{.version = 42, .name = "computer"};
  }
  asio::awaitable<Windows::Reply> displays(Windows::Request) override {
    calls.emplace_back(Windows::identifier, 0);
    co_return kDisplays;
  }
  asio::awaitable<WindowPreview::Reply> windowPreview(WindowPreview::Request request) override {
    calls.emplace_back(WindowPreview::identifier, request.identifier);
    co_return request.identifier == 0 ? std::nullopt : WindowPreview::Reply(Bytes{0xF0, 0x0D});
  }
  RECORD(startCasting, StartCasting)
  RECORD(stopCasting, StopCasting)
  RECORD(windowMask, WindowMask)
  RECORD(startWatchingForChildWindows, StartWatchingForChildWindows)
  RECORD(stopWatchingForChildWindows, StopWatchingForChildWindows)
  RECORD(mouseMoved, MouseMoved)
  RECORD(clicked, Clicked)
  RECORD(scrollBegan, ScrollBegan)
  RECORD(scrollChanged, ScrollChanged)
  RECORD(scrollEnded, ScrollEnded)
  RECORD(dragBegan, DragBegan)
  RECORD(dragChanged, DragChanged)
  RECORD(dragEnded, DragEnded)
  RECORD(typed, Typed)
#undef RECORD
};

// A message, its body, the reply expected and the display identifier its operation must see.
using Row = std::tuple<Messages, Bytes, Bytes, std::uint32_t>;

template <class M>
Row row(typename M::Request request, Bytes reply = {}) {
  return {M::identifier, serialize(request), std::move(reply), request.identifier};
}

// Each message reaches its own operation; identifiers the headset serves are not answered (as
// replies they go to the waiting caller); bodies that do not decode fail without running an operation.
TEST(ServeServerMessage, EachIdentifierReachesItsOperation) {
  IoHarness io;
  RecordingServer server;
  auto serve = [&](Messages message, const Bytes& data) { return io.await(serveServerMessage(server, message, data)); };
  const Row rows[] = {
      {Messages::visionOSHandshake, serialize(HandshakeRequest{.version = 3}),
       serialize(HandshakeReply{.version = 42, .name = "computer"}), 3},
      {Messages::displays, {}, serialize(kDisplays), 0},
      row<WindowPreview>({.identifier = 0}, {0x00}),
      row<WindowPreview>({.identifier = 1}, {0x01, 0xF0, 0x0D}),
      row<StartCasting>({.identifier = 4}),
      row<StopCasting>({.identifier = 5}),
      row<WindowMask>({.identifier = 7, .hash = Bytes(32, 1)}),
      row<StartWatchingForChildWindows>({.identifier = 8}),
      row<StopWatchingForChildWindows>({.identifier = 9}),
      row<MouseMoved>({.identifier = 11, .x = 0.5, .y = 0.5}),
      row<Clicked>({.identifier = 12, .x = 0, .y = 0}),
      row<ScrollBegan>({.identifier = 13}),
      row<ScrollChanged>({.identifier = 14, .x = -3, .y = 40}),
      row<ScrollEnded>({.identifier = 15}),
      row<DragBegan>({.identifier = 16, .x = 0, .y = 0}),
      row<DragChanged>({.identifier = 17, .x = 0, .y = 0}),
      row<DragEnded>({.identifier = 18, .x = 0, .y = 0}),
      row<Typed>({.identifier = 19, .key = input::KeyCode::key_Return, .down = true}),
  };
  std::vector<Call> expected;
  for (const auto& [message, data, reply, identifier] : rows) {
    EXPECT_EQ(serve(message, data), reply) << messageName(message);
    expected.emplace_back(message, identifier);
  }
  for (Messages message : {Messages::macOSHandshake, Messages::windowFrame, Messages::childWindows})
    EXPECT_EQ(serve(message, Bytes{0x01, 0x02}), std::nullopt) << messageName(message);
  const std::pair<Messages, Bytes> undecodable[] = {
      {Messages::startCasting, {}},
      {Messages::clicked, serialize(StartCasting::Request{.identifier = 1})},
      {Messages::visionOSHandshake, {0x01, 0x01, 0x01}},
  };
  for (const auto& [message, data] : undecodable) EXPECT_ANY_THROW(serve(message, data)) << messageName(message);
  EXPECT_EQ(server.calls, expected);
  // The displays request has no body to decode: anything is accepted.
  EXPECT_NO_THROW(serve(Messages::displays, Bytes{0xFF}));
}

}  // namespace
}  // namespace marlinax::messaging
