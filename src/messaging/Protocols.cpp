#include "messaging/Protocols.h"

#include <utility>

namespace marlinax::messaging {
namespace {

template <class M, class Protocol, class Operation>
asio::awaitable<std::optional<Bytes>> serve(Protocol& protocol, Operation operation, const Bytes& data) {
  auto request = deserialize<typename M::Request>(data);
  auto reply = co_await (protocol.*operation)(std::move(request));
  co_return serialize(reply);
}

}  // namespace

asio::awaitable<std::optional<Bytes>> serveServerMessage(ServerProtocol& p, Messages message, Bytes data) {
  using namespace serverMessages;
  using S = ServerProtocol;
  switch (message) {
  case Messages::visionOSHandshake: co_return co_await serve<VisionOSHandshake>(p, &S::visionOSHandshake, data);
  case Messages::displays: co_return co_await serve<Windows>(p, &S::displays, data);
  case Messages::windowPreview: co_return co_await serve<WindowPreview>(p, &S::windowPreview, data);
  case Messages::startCasting: co_return co_await serve<StartCasting>(p, &S::startCasting, data);
  case Messages::stopCasting: co_return co_await serve<StopCasting>(p, &S::stopCasting, data);
  case Messages::windowMask: co_return co_await serve<WindowMask>(p, &S::windowMask, data);
  case Messages::startWatchingForChildWindows:
    co_return co_await serve<StartWatchingForChildWindows>(p, &S::startWatchingForChildWindows, data);
  case Messages::stopWatchingForChildWindows:
    co_return co_await serve<StopWatchingForChildWindows>(p, &S::stopWatchingForChildWindows, data);
  case Messages::mouseMoved: co_return co_await serve<MouseMoved>(p, &S::mouseMoved, data);
  case Messages::clicked: co_return co_await serve<Clicked>(p, &S::clicked, data);
  case Messages::scrollBegan: co_return co_await serve<ScrollBegan>(p, &S::scrollBegan, data);
  case Messages::scrollChanged: co_return co_await serve<ScrollChanged>(p, &S::scrollChanged, data);
  case Messages::scrollEnded: co_return co_await serve<ScrollEnded>(p, &S::scrollEnded, data);
  case Messages::dragBegan: co_return co_await serve<DragBegan>(p, &S::dragBegan, data);
  case Messages::dragChanged: co_return co_await serve<DragChanged>(p, &S::dragChanged, data);
  case Messages::dragEnded: co_return co_await serve<DragEnded>(p, &S::dragEnded, data);
  case Messages::typed: co_return co_await serve<Typed>(p, &S::typed, data);
  case Messages::macOSHandshake:
  case Messages::windowFrame:
  case Messages::childWindows: break;
  }
  co_return std::nullopt;
}

asio::awaitable<std::optional<Bytes>> serveClientMessage(ClientProtocol& p, Messages message, Bytes data) {
  using namespace clientMessages;
  using C = ClientProtocol;
  switch (message) {
  case Messages::macOSHandshake: co_return co_await serve<MacOSHandshake>(p, &C::macOSHandshake, data);
  case Messages::childWindows: co_return co_await serve<ChildWindows>(p, &C::childWindows, data);
  case Messages::windowFrame: co_return co_await serve<WindowFrame>(p, &C::windowFrame, data);
  default: break;
  }
  co_return std::nullopt;
}

std::string_view messageName(Messages message) {
  static constexpr std::string_view names[messageCount] = {"visionOSHandshake",
                                                           "macOSHandshake",
                                                           "displays",
                                                           "windowPreview",
                                                           "startCasting",
                                                           "stopCasting",
                                                           "windowFrame",
                                                           "windowMask",
                                                           "startWatchingForChildWindows",
                                                           "stopWatchingForChildWindows",
                                                           "childWindows",
                                                           "mouseMoved",
                                                           "clicked",
                                                           "scrollBegan",
                                                           "scrollChanged",
                                                           "scrollEnded",
                                                           "dragBegan",
                                                           "dragChanged",
                                                           "dragEnded",
                                                           "typed"};
  auto index = static_cast<std::size_t>(message);
  return index < std::size(names) ? names[index] : std::string_view("unknown");
}

}  // namespace marlinax::messaging
