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
    co_return Windows::Reply{
        .displays = {Display{.identifier = 7, .title = "Display 7", .app = "", .frame = {}, .windowLayer = 0}}};
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

template <class Request>
Bytes body(const Request& request) {
  return serialize(request);
}

TEST(ServeServerMessage, EachIdentifierReachesItsOperation) {
  IoHarness io;
  RecordingServer server;
  auto serve = [&](Messages message, Bytes data) { return io.await(server.handle(message, std::move(data))); };

  EXPECT_EQ(serve(Messages::visionOSHandshake, body(HandshakeRequest{.version = 3})),
            serialize(HandshakeReply{.version = 42, .name = "computer"}));
  EXPECT_EQ(
      serve(Messages::displays, {}),
      serialize(Windows::Reply{
          .displays = {Display{.identifier = 7, .title = "Display 7", .app = "", .frame = {}, .windowLayer = 0}}}));
  EXPECT_EQ(serve(Messages::windowPreview, body(WindowPreview::Request{.identifier = 0})), (Bytes{0x00}));
  EXPECT_EQ(serve(Messages::windowPreview, body(WindowPreview::Request{.identifier = 1})), (Bytes{0x01, 0xF0, 0x0D}));

  struct Case {
    Messages message;
    Bytes data;
  };
  std::vector<Case> voidCases{
      {Messages::startCasting, body(StartCasting::Request{.identifier = 4})},
      {Messages::stopCasting, body(StopCasting::Request{.identifier = 5})},
      {Messages::windowMask, body(WindowMask::Request{.identifier = 7, .hash = Bytes(32, 1)})},
      {Messages::startWatchingForChildWindows, body(StartWatchingForChildWindows::Request{.identifier = 8})},
      {Messages::stopWatchingForChildWindows, body(StopWatchingForChildWindows::Request{.identifier = 9})},
      {Messages::mouseMoved, body(MouseMoved::Request{.identifier = 11, .x = 0.5, .y = 0.5})},
      {Messages::clicked, body(Clicked::Request{.identifier = 12, .x = 0, .y = 0})},
      {Messages::scrollBegan, body(ScrollBegan::Request{.identifier = 13})},
      {Messages::scrollChanged, body(ScrollChanged::Request{.identifier = 14, .x = -3, .y = 40})},
      {Messages::scrollEnded, body(ScrollEnded::Request{.identifier = 15})},
      {Messages::dragBegan, body(DragBegan::Request{.identifier = 16, .x = 0, .y = 0})},
      {Messages::dragChanged, body(DragChanged::Request{.identifier = 17, .x = 0, .y = 0})},
      {Messages::dragEnded, body(DragEnded::Request{.identifier = 18, .x = 0, .y = 0})},
      {Messages::typed, body(Typed::Request{.identifier = 19, .key = input::KeyCode::key_Return, .down = true})},
  };
  for (auto& c : voidCases) EXPECT_EQ(serve(c.message, c.data), Bytes{}) << messageName(c.message);

  EXPECT_EQ(server.calls(),
            (std::vector<std::string>{"visionOSHandshake 3", "displays 0", "windowPreview 0", "windowPreview 1",
                                      "startCasting 4", "stopCasting 5", "windowMask 7",
                                      "startWatchingForChildWindows 8", "stopWatchingForChildWindows 9",
                                      "mouseMoved 11", "clicked 12", "scrollBegan 13", "scrollChanged 14",
                                      "scrollEnded 15", "dragBegan 16", "dragChanged 17", "dragEnded 18", "typed 19"}));
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
      {Messages::clicked, body(StartCasting::Request{.identifier = 1})},
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
