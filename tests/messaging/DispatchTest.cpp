// Serving a message: the identifier picks the operation, the body is decoded
// as that message's request, and the reply is encoded; failures mean no reply.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "messaging/Multiplexer.h"
#include "messaging/Protocols.h"
#include "support/IoHarness.h"

namespace marlinax::messaging {
namespace {

using testing::IoHarness;
using namespace serverMessages;

const Windows::Reply kDisplays{
    .displays = {Display{.identifier = 7, .title = "Display 7", .app = "", .frame = {}, .windowLayer = 0}}};

// Records which operation ran with which identifier field.
class RecordingServer : public ServerProtocol, public MessageProtocol {
 public:
  asio::awaitable<std::optional<Bytes>> handle(Messages message, Bytes data) override {
    return serveServerMessage(*this, message, std::move(data));
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

#define RECORD(Operation, Message)                                                                                     \
  asio::awaitable<SerializableVoid> Operation(Message::Request request) override {                                     \
    record(#Operation, request.identifier);                                                                            \
    co_return SerializableVoid{};                                                                                      \
  }

  asio::awaitable<VisionOSHandshake::Reply> visionOSHandshake(VisionOSHandshake::Request request) override {
    record("visionOSHandshake", static_cast<std::uint32_t>(request.version));
    co_return VisionOSHandshake::Reply{.version = 42, .name = "computer"};
  }
  asio::awaitable<Windows::Reply> displays(Windows::Request) override {
    record("displays", 0);
    co_return kDisplays;
  }
  asio::awaitable<WindowPreview::Reply> windowPreview(WindowPreview::Request request) override {
    record("windowPreview", request.identifier);
    if (request.identifier == 0) co_return std::nullopt;
    co_return Bytes{0xF0, 0x0D};
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

 private:
  void record(const char* operation, std::uint32_t identifier) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::string(operation) + " " + std::to_string(identifier));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Each row: the message, its body, the reply expected and the operation that must have run.
TEST(ServeServerMessage, EachIdentifierReachesItsOperation) {
  IoHarness io;
  RecordingServer server;
  const struct {
    Messages message;
    Bytes data;
    Bytes reply;
    const char* call;
  } cases[] = {
      {Messages::visionOSHandshake, serialize(HandshakeRequest{.version = 3}),
       serialize(HandshakeReply{.version = 42, .name = "computer"}), "visionOSHandshake 3"},
      {Messages::displays, {}, serialize(kDisplays), "displays 0"},
      {Messages::windowPreview, serialize(WindowPreview::Request{.identifier = 0}), {0x00}, "windowPreview 0"},
      {Messages::windowPreview,
       serialize(WindowPreview::Request{.identifier = 1}),
       {0x01, 0xF0, 0x0D},
       "windowPreview 1"},
      {Messages::startCasting, serialize(StartCasting::Request{.identifier = 4}), {}, "startCasting 4"},
      {Messages::stopCasting, serialize(StopCasting::Request{.identifier = 5}), {}, "stopCasting 5"},
      {Messages::windowMask, serialize(WindowMask::Request{.identifier = 7, .hash = Bytes(32, 1)}), {}, "windowMask 7"},
      {Messages::startWatchingForChildWindows,
       serialize(StartWatchingForChildWindows::Request{.identifier = 8}),
       {},
       "startWatchingForChildWindows 8"},
      {Messages::stopWatchingForChildWindows,
       serialize(StopWatchingForChildWindows::Request{.identifier = 9}),
       {},
       "stopWatchingForChildWindows 9"},
      {Messages::mouseMoved, serialize(MouseMoved::Request{.identifier = 11, .x = 0.5, .y = 0.5}), {}, "mouseMoved 11"},
      {Messages::clicked, serialize(Clicked::Request{.identifier = 12, .x = 0, .y = 0}), {}, "clicked 12"},
      {Messages::scrollBegan, serialize(ScrollBegan::Request{.identifier = 13}), {}, "scrollBegan 13"},
      {Messages::scrollChanged,
       serialize(ScrollChanged::Request{.identifier = 14, .x = -3, .y = 40}),
       {},
       "scrollChanged 14"},
      {Messages::scrollEnded, serialize(ScrollEnded::Request{.identifier = 15}), {}, "scrollEnded 15"},
      {Messages::dragBegan, serialize(DragBegan::Request{.identifier = 16, .x = 0, .y = 0}), {}, "dragBegan 16"},
      {Messages::dragChanged, serialize(DragChanged::Request{.identifier = 17, .x = 0, .y = 0}), {}, "dragChanged 17"},
      {Messages::dragEnded, serialize(DragEnded::Request{.identifier = 18, .x = 0, .y = 0}), {}, "dragEnded 18"},
      {Messages::typed,
       serialize(Typed::Request{.identifier = 19, .key = input::KeyCode::key_Return, .down = true}),
       {},
       "typed 19"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(io.await(server.handle(c.message, c.data)), c.reply) << c.call;
    expected.push_back(c.call);
  }
  EXPECT_EQ(server.calls(), expected);
}

// Identifiers the headset serves are not answered (as replies they go to the waiting caller);
// bodies that do not decode fail without running the operation.
TEST(ServeServerMessage, UnservedAndUndecodableRequests) {
  IoHarness io;
  RecordingServer server;
  for (Messages message : {Messages::macOSHandshake, Messages::windowFrame, Messages::childWindows})
    EXPECT_EQ(io.await(server.handle(message, Bytes{0x01, 0x02})), std::nullopt) << messageName(message);
  const std::pair<Messages, Bytes> undecodable[] = {
      {Messages::startCasting, {}},
      {Messages::clicked, serialize(StartCasting::Request{.identifier = 1})},
      {Messages::visionOSHandshake, {0x01, 0x01, 0x01}},
  };
  for (const auto& [message, data] : undecodable)
    EXPECT_ANY_THROW(io.await(server.handle(message, data))) << messageName(message);
  EXPECT_TRUE(server.calls().empty());
  // The displays request has no body to decode: anything is accepted.
  EXPECT_NO_THROW(io.await(server.handle(Messages::displays, Bytes{0xFF})));
}

}  // namespace
}  // namespace marlinax::messaging
