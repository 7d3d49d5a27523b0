#include "server/ProtocolImplementation.h"

#include <deque>
#include <exception>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "async/Queue.h"
#include "async/RunOn.h"
#include "async/Semaphore.h"
#include "codec/Varint.h"
#include "log/Log.h"
#include "capture/Broadcaster.h"
#include "input/EventDispatcher.h"
#include "media/Fragment.h"
#include "media/Masks.h"
#include "media/SegmentedJpeg.h"
#include "messaging/ProtocolVersion.h"
#include "platform/CaptureService.h"
#include "platform/ComputerName.h"
#include "log/Log.h"

namespace marlinax::server {

using namespace messaging;

namespace {

[[noreturn]] void notAvailable(const char* operation) {
  throw NotAvailable(std::string(operation) + ": not available on this server");
}

}  // namespace

// Slots for the frames of one display that are being built or wait for their
// reply. The frame loop is the only one that waits for a slot.
class ProtocolImplementation::FrameSlots {
 public:
  explicit FrameSlots(std::size_t capacity) : free_(capacity == 0 ? 1 : capacity) {}

  // True with a slot taken; false once closed (the frame loop then ends).
  asio::awaitable<bool> acquire() {
    auto initiation = [this](auto handler) {
      auto executor =
          asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
      auto shared = std::make_shared<decltype(handler)>(std::move(handler));
      Waiter waiter = [shared, executor](bool granted) {
        asio::post(executor, [shared, granted]() mutable { std::move(*shared)(granted); });
      };
      bool granted = false;
      {
        std::lock_guard lock(mutex_);
        if (!closed_) {
          if (free_ == 0) {
            waiter_ = std::move(waiter);
            return;
          }
          --free_;
          granted = true;
        }
      }
      waiter(granted);
    };
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(bool)>(std::move(initiation),
                                                                                       asio::use_awaitable);
  }

  // Returns a slot; a waiting frame loop takes it over at once.
  void release() {
    Waiter waiter;
    {
      std::lock_guard lock(mutex_);
      if (waiter_ && !closed_) {
        waiter = std::move(waiter_);
        waiter_ = nullptr;
      } else {
        ++free_;
      }
    }
    if (waiter)
      waiter(true);
  }

  // Wakes a waiting frame loop without a slot; later acquisitions fail.
  void close() {
    Waiter waiter;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      waiter = std::move(waiter_);
      waiter_ = nullptr;
    }
    if (waiter)
      waiter(false);
  }

 private:
  using Waiter = std::function<void(bool)>;
  mutable std::mutex mutex_;
  std::size_t free_;
  Waiter waiter_;
  bool closed_ = false;
};

// One display's casting as the handler sees it: the stream its frame loop
// reads and the loop's in-flight slots.
struct ProtocolImplementation::Casting {
  capture::Broadcaster::Stream stream;
  std::shared_ptr<FrameSlots> slots;
  // Frames being built or waiting for their reply.
  std::atomic<std::size_t> inFlight = 0;
  // Frames whose task has ended: sent, dropped or failed.
  std::atomic<std::uint64_t> finished = 0;
  // The display's segment cache (none when switched off); frames in flight
  // take turns with it.
  std::mutex encoderMutex;
  std::unique_ptr<media::SegmentedJpegEncoder> encoder;
};

ProtocolImplementation::ProtocolImplementation(Services services)
    : services_(std::move(services)), version_(services_.version ? *services_.version : protocolVersion()) {
  // The remote stays absent until the session loop sets it.
  const platform::Clock clock = services_.clock ? services_.clock : platform::steadyClock();
  if (services_.capture) {
    screenRecorder_ = std::make_unique<capture::Broadcaster>(services_.capture, clock);
  }
  if (services_.input) {
    eventDispatcher_ = std::make_unique<input::EventDispatcher>(services_.input, services_.doubleClickInterval, clock);
  }
  masks_ = std::make_unique<media::Masks>();
  previewSlots_ = services_.previewSlots ? services_.previewSlots : std::make_shared<async::Semaphore>(2);
}

// Frame loops and watchers keep the handler alive, so none runs any more here;
// the broadcaster's destructor stops the streams still registered.
ProtocolImplementation::~ProtocolImplementation() = default;

asio::awaitable<std::optional<Bytes>> ProtocolImplementation::handle(Messages message, Bytes data) {
  // Keeps the handler alive for the whole request even if the connection goes.
  auto self = shared_from_this();
  co_return co_await serveServerMessage(*self, message, std::move(data));
}

void ProtocolImplementation::setRemote(Remote remote) {
  {
    std::lock_guard lock(remoteMutex_);
    remote_ = remote;
  }
  // Keeps the handler until the connection has ended, then stops what the
  // headset started: the multiplexer lets go of its handler at that point, and
  // nothing else may hold it.
  remote.connection.whenFinished([self = shared_from_this()] { self->endConnection(); });
}

std::optional<Remote> ProtocolImplementation::remote() const {
  std::lock_guard lock(remoteMutex_);
  return remote_;
}

std::size_t ProtocolImplementation::endConnection() {
  ended_ = true;
  std::map<std::uint32_t, std::shared_ptr<Casting>> casting;
  {
    std::lock_guard lock(castingMutex_);
    casting.swap(casting_);
  }
  for (auto& [identifier, entry] : casting)
    entry->slots->close();
  std::size_t stopped = 0;
  if (screenRecorder_) {
    stopped = screenRecorder_->streamCount();
    screenRecorder_->stopAll();
  }
  if (!reported_.exchange(true) && services_.connectionEnded)
    services_.connectionEnded(stopped);
  return stopped;
}

std::size_t ProtocolImplementation::framesInFlight(std::uint32_t identifier) const {
  std::lock_guard lock(castingMutex_);
  auto found = casting_.find(identifier);
  return found == casting_.end() ? 0 : found->second->inFlight.load();
}

std::uint64_t ProtocolImplementation::framesFinished(std::uint32_t identifier) const {
  std::lock_guard lock(castingMutex_);
  auto found = casting_.find(identifier);
  return found == casting_.end() ? 0 : found->second->finished.load();
}

std::size_t ProtocolImplementation::childWatcherCount() const {
  return screenRecorder_ ? screenRecorder_->childObservers().size() : 0;
}

std::size_t ProtocolImplementation::castingCount() const {
  return screenRecorder_ ? screenRecorder_->streamCount() : 0;
}

std::string ProtocolImplementation::computerName() const {
  // A name that cannot be read, or an empty one, is replaced by a generic one
  // so that the headset always has something to show.
  // The headset's decoder refuses a string that is not UTF-8, and host names
  // are just bytes: invalid sequences are replaced.
  try {
    std::string name = services_.computerName ? services_.computerName() : platform::computerName();
    if (!name.empty())
      return codec::toValidUtf8(name);
  } catch (const std::exception& error) {
    log::warning(std::string("Cannot read the computer's name: ") + error.what());
  }
  return fallbackComputerName;
}

capture::Broadcaster& ProtocolImplementation::broadcaster() const {
  if (!screenRecorder_)
    notAvailable("screen capture");
  return *screenRecorder_;
}

input::EventDispatcher& ProtocolImplementation::dispatcher() const {
  if (!eventDispatcher_)
    notAvailable("input");
  return *eventDispatcher_;
}

void ProtocolImplementation::forgetMask(std::uint32_t identifier) {
  std::lock_guard gate(maskGate_);
  masks_->forget(identifier);
}

asio::awaitable<serverMessages::VisionOSHandshake::Reply> ProtocolImplementation::visionOSHandshake(
    serverMessages::VisionOSHandshake::Request) {
  // The headset's version is read but not compared with anything.
  co_return serverMessages::VisionOSHandshake::Reply{.version = version_, .name = computerName()};
}

asio::awaitable<serverMessages::Windows::Reply> ProtocolImplementation::displays(serverMessages::Windows::Request) {
  capture::Broadcaster& recorder = broadcaster();
  recorder.refreshDisplays(false);
  serverMessages::Windows::Reply reply;
  for (const platform::DisplayInfo& display : recorder.displays()) {
    reply.displays.push_back(Display{.identifier = display.displayID,
                                     .title = "Display " + std::to_string(display.displayID),
                                     .app = "",
                                     .frame = display.frame,
                                     .windowLayer = 0});
  }
  co_return reply;
}

asio::awaitable<serverMessages::WindowPreview::Reply> ProtocolImplementation::windowPreview(
    serverMessages::WindowPreview::Request request) {
  std::optional<platform::DisplayInfo> display = broadcaster().display(request.identifier);
  if (!display)
    co_return std::nullopt;
  asio::any_io_executor executor = services_.frameExecutor;
  if (!executor)
    executor = co_await asio::this_coro::executor;
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
    if (!sample || !sample->image)
      return std::nullopt;
    return media::Fragment::make(*sample).serialize();
  };
  co_return co_await async::runOn(executor, std::move(work));
}

asio::awaitable<SerializableVoid> ProtocolImplementation::startCasting(serverMessages::StartCasting::Request request) {
  capture::Broadcaster& recorder = broadcaster();
  if (ended_)
    co_return SerializableVoid{};
  std::optional<platform::DisplayInfo> display = recorder.display(request.identifier);
  if (!display)
    co_return SerializableVoid{};  // nothing is registered, no frame loop starts
  auto casting = std::make_shared<Casting>();
  if (services_.segmentCache)
    casting->encoder = std::make_unique<media::SegmentedJpegEncoder>();
  casting->slots = std::make_shared<FrameSlots>(services_.framesInFlight);
  // A display already cast gets a new stream (its first frame comes at once)
  // that replaces the old one below.
  casting->stream = recorder.makeStream(*display);  // throws: nothing registered
  std::shared_ptr<Casting> replaced;
  {
    std::lock_guard lock(castingMutex_);
    auto& slot = casting_[request.identifier];
    replaced = std::exchange(slot, casting);
  }
  if (replaced)
    replaced->slots->close();
  // Replaces and stops any stream stored meanwhile, which ends its loop.
  recorder.storeStream(request.identifier, casting->stream);
  // Only now, with no frame of an older stream left to touch the mask memory:
  // the first frame of this stream carries the mask.
  forgetMask(request.identifier);
  if (ended_) {
    // The connection ended while the stream started: nothing may keep running.
    endConnection();
    co_return SerializableVoid{};
  }
  // The loop is not tied to this request, which is answered at once.
  asio::co_spawn(co_await asio::this_coro::executor, frameLoop(shared_from_this(), request.identifier, casting),
                 asio::detached);
  co_return SerializableVoid{};
}

asio::awaitable<void> ProtocolImplementation::frameLoop(std::shared_ptr<ProtocolImplementation> self,
                                                        std::uint32_t identifier, std::shared_ptr<Casting> casting) {
  asio::any_io_executor frameExecutor = self->services_.frameExecutor;
  if (!frameExecutor)
    frameExecutor = co_await asio::this_coro::executor;
  std::shared_ptr<FrameSlots> slots = casting->slots;
  for (;;) {
    // A slot first, then the frame: while every slot is busy the capture keeps
    // replacing its one unread frame, so the newest frame is the one taken.
    if (!co_await slots->acquire())
      break;
    if (casting->stream.stream)
      casting->stream.stream->requestFrame();
    std::optional<platform::SampleBuffer> sample = co_await casting->stream.frames->next();
    if (!sample || !sample->image) {
      slots->release();
      if (!sample)
        break;  // the stream was stopped or replaced
      continue;   // a status-only sample
    }
    // The frame task holds the slot until its frame is done, whichever way.
    ++casting->inFlight;
    std::shared_ptr<void> slot(nullptr, [slots, casting](void*) {
      --casting->inFlight;
      ++casting->finished;
      slots->release();
    });
    asio::co_spawn(frameExecutor, frameTask(self, identifier, casting, std::move(*sample), std::move(slot)),
                   asio::detached);
  }
  // A capture that ended on its own ends the casting: its stream is
  // unregistered and stopped, unless a newer one replaced it meanwhile.
  if (casting->stream.failed && *casting->stream.failed && self->screenRecorder_) {
    self->screenRecorder_->stopStream(identifier, casting->stream);
    casting->slots->close();
  }
  // Forget this loop's bookkeeping unless a newer casting replaced it.
  std::lock_guard lock(self->castingMutex_);
  if (auto found = self->casting_.find(identifier); found != self->casting_.end() && found->second == casting)
    self->casting_.erase(found);
}

asio::awaitable<void> ProtocolImplementation::frameTask(std::shared_ptr<ProtocolImplementation> self,
                                                        std::uint32_t identifier, std::shared_ptr<Casting> casting,
                                                        platform::SampleBuffer sample, std::shared_ptr<void> slot) {
  // `slot` is held, in this task's frame, until the frame is done.
  (void)slot;
  // Every failure drops the frame (logged in detail); nothing is retried.
  try {
    std::optional<Remote> remote = self->remote();
    if (!remote)
      co_return;  // no one to send it to yet
    media::Fragment fragment;
    if (casting->encoder) {
      std::lock_guard turn(casting->encoderMutex);
      fragment = media::Fragment::make(sample, *casting->encoder);
    } else {
      fragment = media::Fragment::make(sample);
    }
    sample = {};  // gives the captured image back to the capture's pool
    {
      std::lock_guard gate(self->maskGate_);
      if (casting->stream.frames->isFinished())
        co_return;  // casting stopped meanwhile: leave the mask memory alone
      self->masks_->process(fragment, identifier);
    }
    clientMessages::WindowFrame::Request request{.identifier = identifier, .frame = fragment.serialize()};
    fragment = {};
    co_await remote->windowFrame(std::move(request));
  } catch (const std::exception& error) {
    log::debug("A frame of display " + std::to_string(identifier) + " was dropped: " + error.what());
  }
}

asio::awaitable<SerializableVoid> ProtocolImplementation::stopCasting(serverMessages::StopCasting::Request request) {
  if (screenRecorder_)
    screenRecorder_->stopStream(request.identifier);  // ends the frame loop
  std::shared_ptr<Casting> casting;
  {
    std::lock_guard lock(castingMutex_);
    if (auto found = casting_.find(request.identifier); found != casting_.end()) {
      casting = std::move(found->second);
      casting_.erase(found);
    }
  }
  if (casting)
    casting->slots->close();
  // Also when nothing was cast: a later start begins without a remembered mask.
  forgetMask(request.identifier);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::windowMask(serverMessages::WindowMask::Request request) {
  // A confirmation for a display without an entry creates nothing.
  masks_->acknowledge(request.hash, request.identifier);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::startWatchingForChildWindows(
    serverMessages::StartWatchingForChildWindows::Request request) {
  // Without a capture service no display exists to watch; like stopping, the
  // request is still answered.
  if (!screenRecorder_ || ended_)
    co_return SerializableVoid{};
  capture::Broadcaster& recorder = *screenRecorder_;
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
      if (!remote)
        continue;
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

asio::awaitable<SerializableVoid> ProtocolImplementation::stopWatchingForChildWindows(
    serverMessages::StopWatchingForChildWindows::Request request) {
  if (screenRecorder_)
    screenRecorder_->removeChildObserver(request.identifier);
  co_return SerializableVoid{};
}

std::optional<input::Point> ProtocolImplementation::pointerPoint(std::uint32_t identifier, double x, double y) {
  std::optional<platform::DisplayInfo> display = broadcaster().display(identifier);
  if (!display)
    return std::nullopt;
  return input::globalPoint(display->frame, x, y);
}

// The five pointer requests: a display that does not exist posts nothing, and
// the request is still answered.
asio::awaitable<SerializableVoid> ProtocolImplementation::mouseMoved(serverMessages::MouseMoved::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y))
    events.moveMouse(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::clicked(serverMessages::Clicked::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y))
    events.click(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollBegan(serverMessages::ScrollBegan::Request) {
  dispatcher().beginScroll();
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::scrollChanged(
    serverMessages::ScrollChanged::Request request) {
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
  if (auto point = pointerPoint(request.identifier, request.x, request.y))
    events.beginDrag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragChanged(serverMessages::DragChanged::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y))
    events.drag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::dragEnded(serverMessages::DragEnded::Request request) {
  input::EventDispatcher& events = dispatcher();
  if (auto point = pointerPoint(request.identifier, request.x, request.y))
    events.endDrag(*point);
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> ProtocolImplementation::typed(serverMessages::Typed::Request request) {
  dispatcher().postKey(request.key, request.down);
  co_return SerializableVoid{};
}

}  // namespace marlinax::server
