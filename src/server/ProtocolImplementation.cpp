#include "server/ProtocolImplementation.h"

#include <exception>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "async/Queue.h"
#include "async/RunOn.h"
#include "async/Semaphore.h"
#include "capture/Broadcaster.h"
#include "codec/Varint.h"
#include "input/EventDispatcher.h"
#include "log/Log.h"
#include "media/Fragment.h"
#include "media/Masks.h"
#include "messaging/ProtocolVersion.h"
#include "platform/CaptureService.h"
#include "platform/ComputerName.h"

namespace marlinax::server {

using namespace messaging;

namespace {

[[noreturn]] void notAvailable(const char* operation) {
  throw NotAvailable(std::string(operation) + ": not available on this server");
}

}  // namespace

ProtocolImplementation::ProtocolImplementation(Services services)
    : services_(std::move(services)), version_(services_.version ? *services_.version : protocolVersion()) {
  // The remote stays absent until the session loop sets it.
  const platform::Clock clock = services_.clock ? services_.clock : platform::steadyClock();
  if (services_.capture) {
    broadcaster_ = std::make_unique<capture::Broadcaster>(services_.capture, clock);
  }
  if (services_.input) {
    eventDispatcher_ = std::make_unique<input::EventDispatcher>(services_.input, services_.doubleClickInterval, clock);
  }
  castShared_ =
      std::make_shared<CastShared>(services_.frameExecutor, services_.maxFramesInFlight, services_.segmentCache);
  casts_ = std::make_unique<DisplayCasts>(castShared_);
  previewSlots_ = services_.previewSlots ? services_.previewSlots : std::make_shared<async::Semaphore>(2);
}

// Watchers keep the handler alive, so none runs any more here; the table's
// destructor stops the casts still running.
ProtocolImplementation::~ProtocolImplementation() = default;

asio::awaitable<std::optional<Bytes>> ProtocolImplementation::handle(Messages message, Bytes data) {
  // Keeps the handler alive for the whole request even if the connection goes.
  auto self = shared_from_this();
  co_return co_await serveServerMessage(*self, message, std::move(data));
}

void ProtocolImplementation::setRemote(Remote remote) {
  castShared_->setRemote(remote);
  // Keeps the handler until the connection has ended, then stops what the
  // headset started: the multiplexer lets go of its handler at that point, and
  // nothing else may hold it.
  remote.connection.whenFinished([self = shared_from_this()] { self->endConnection(); });
}

std::optional<Remote> ProtocolImplementation::remote() const { return castShared_->remote(); }

std::size_t ProtocolImplementation::endConnection() {
  ended_ = true;
  const std::size_t stopped = casts_->stopAll();
  if (broadcaster_) broadcaster_->stopWatchingAll();
  if (!reported_.exchange(true) && services_.connectionEnded) services_.connectionEnded(stopped);
  return stopped;
}

std::size_t ProtocolImplementation::childWatcherCount() const {
  return broadcaster_ ? broadcaster_->childObservers().size() : 0;
}

std::string ProtocolImplementation::computerName() const {
  // A name that cannot be read, or an empty one, is replaced by a generic one
  // so that the headset always has something to show.
  // The headset's decoder refuses a string that is not UTF-8, and host names
  // are just bytes: invalid sequences are replaced.
  try {
    std::string name = services_.computerName ? services_.computerName() : platform::computerName();
    if (!name.empty()) return codec::toValidUtf8(name);
  } catch (const std::exception& error) {
    log::warning(std::string("Cannot read the computer's name: ") + error.what());
  }
  return kFallbackComputerName;
}

capture::Broadcaster& ProtocolImplementation::broadcaster() const {
  if (!broadcaster_) notAvailable("screen capture");
  return *broadcaster_;
}

input::EventDispatcher& ProtocolImplementation::dispatcher() const {
  if (!eventDispatcher_) notAvailable("input");
  return *eventDispatcher_;
}

asio::awaitable<serverMessages::VisionOSHandshake::Reply>
ProtocolImplementation::visionOSHandshake(serverMessages::VisionOSHandshake::Request) {
  // The headset's version is read but not compared with anything.
  co_return serverMessages::VisionOSHandshake::Reply{.version = version_, .name = computerName()};
}

asio::awaitable<serverMessages::Windows::Reply> ProtocolImplementation::displays(serverMessages::Windows::Request) {
  capture::Broadcaster& displays = broadcaster();
  displays.refreshDisplays(false);
  serverMessages::Windows::Reply reply;
  for (const platform::DisplayInfo& display : displays.displays()) {
    reply.displays.push_back(Display{.identifier = display.displayID,
                                     .title = "Display " + std::to_string(display.displayID),
                                     .app = "",
                                     .frame = display.frame,
                                     .windowLayer = 0});
  }
  co_return reply;
}

asio::awaitable<serverMessages::WindowPreview::Reply>
ProtocolImplementation::windowPreview(serverMessages::WindowPreview::Request request) {
  std::optional<platform::DisplayInfo> display = broadcaster().display(request.identifier);
  if (!display) co_return std::nullopt;
  asio::any_io_executor executor = services_.frameExecutor;
  if (!executor) executor = co_await asio::this_coro::executor;
  std::shared_ptr<platform::CaptureService> service = services_.capture;
  platform::DisplayInfo target = *display;
  // A slot first: a flood of preview requests waits here, holding no image.
  std::shared_ptr<void> slot = co_await previewSlots_->acquire();
  // The screenshot and its encoding are CPU work. A preview never consults or
  // changes the mask memory, so it always carries its mask.
  // Named: see suspend() in async/Waiter.h.
  auto work = [service, target]() -> std::optional<Bytes> {
    std::optional<platform::SampleBuffer> sample =
        service->screenshot(target, capture::Broadcaster::previewConfiguration());
    if (!sample || !sample->image) return std::nullopt;
    return media::Fragment::make(*sample).serialize();
  };
  co_return co_await async::runOn(executor, std::move(work));
}

asio::awaitable<SerializableVoid> ProtocolImplementation::startCasting(serverMessages::StartCasting::Request request) {
  capture::Broadcaster& displays = broadcaster();
  if (ended_) co_return SerializableVoid{};
  std::optional<platform::DisplayInfo> display = displays.display(request.identifier);
  if (!display) co_return SerializableVoid{};  // nothing starts
  // Throws when the capture cannot start: a running cast of the display stays.
  capture::Broadcaster::Stream stream = displays.makeStream(*display);
  // The loop is not tied to this request, which is answered at once.
  casts_->start(request.identifier, std::move(stream), co_await asio::this_coro::executor);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::stopCasting(serverMessages::StopCasting::Request request) {
  casts_->stop(request.identifier);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::windowMask(serverMessages::WindowMask::Request request) {
  // A confirmation for a display without an entry creates nothing.
  castShared_->masks->acknowledge(request.hash, request.identifier);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid>
ProtocolImplementation::startWatchingForChildWindows(serverMessages::StartWatchingForChildWindows::Request request) {
  // Without a capture service no display exists to watch; like stopping, the
  // request is still answered.
  if (!broadcaster_ || ended_) co_return SerializableVoid{};
  capture::Broadcaster& recorder = *broadcaster_;
  if (!recorder.display(request.identifier)) {
    ++watchersRefused_;
    co_return SerializableVoid{};  // an invented identifier makes nothing
  }
  if (recorder.childObservers().contains(request.identifier))
    co_return SerializableVoid{};  // already watched: the running watcher stays
  std::shared_ptr<capture::ChildWindowSequence> lists = recorder.watchChildWindows(request.identifier);
  auto watcher = [](std::shared_ptr<ProtocolImplementation> self, std::uint32_t parent,
                    std::shared_ptr<capture::ChildWindowSequence> lists) -> asio::awaitable<void> {
    // Ends with the sequence (stop watching, connection end) or the first failed send.
    while (std::optional<std::vector<std::uint32_t>> children = co_await lists->next()) {
      std::optional<Remote> remote = self->remote();
      if (!remote) continue;
      try {
        co_await remote->childWindows({.parent = parent, .children = std::move(*children)});
      } catch (const std::exception& error) {
        log::debug("Child windows of display " + std::to_string(parent) + " are no longer sent: " + error.what());
        co_return;
      }
    }
  };
  asio::co_spawn(co_await asio::this_coro::executor, watcher(shared_from_this(), request.identifier, lists),
                 asio::detached);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid>
ProtocolImplementation::stopWatchingForChildWindows(serverMessages::StopWatchingForChildWindows::Request request) {
  if (broadcaster_) broadcaster_->removeChildObserver(request.identifier);
  co_return SerializableVoid{};
}

std::optional<input::Point> ProtocolImplementation::pointerPoint(std::uint32_t identifier, double x, double y) {
  std::optional<platform::DisplayInfo> display = broadcaster().display(identifier);
  if (!display) return std::nullopt;
  return input::globalPoint(display->frame, x, y);
}

// The five pointer requests: a display that does not exist posts nothing, and
// the request is still answered.
asio::awaitable<SerializableVoid> ProtocolImplementation::mouseMoved(serverMessages::MouseMoved::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y)) events.moveMouse(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::clicked(serverMessages::Clicked::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y)) events.click(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollBegan(serverMessages::ScrollBegan::Request) {
  dispatcher().beginScroll();
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid>
ProtocolImplementation::scrollChanged(serverMessages::ScrollChanged::Request request) {
  // Pixel amounts, not fractions: no display is involved.
  dispatcher().scroll(request.x, request.y);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollEnded(serverMessages::ScrollEnded::Request) {
  dispatcher().endScroll();
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragBegan(serverMessages::DragBegan::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y)) events.beginDrag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragChanged(serverMessages::DragChanged::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y)) events.drag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragEnded(serverMessages::DragEnded::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y)) events.endDrag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::typed(serverMessages::Typed::Request request) {
  dispatcher().postKey(request.key, request.down);
  co_return SerializableVoid{};
}

}  // namespace marlinax::server
