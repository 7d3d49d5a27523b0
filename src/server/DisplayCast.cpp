#include "server/DisplayCast.h"

#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "async/Queue.h"
#include "async/Semaphore.h"
#include "codec/Varint.h"
#include "log/Log.h"
#include "media/BufferPool.h"
#include "media/Fragment.h"
#include "media/Masks.h"
#include "media/SegmentedJpeg.h"

namespace marlinax::server {

using namespace messaging;

namespace {

// The casting size's worst-case JPEG (quality 100, 4:4:4) and the headers.
std::size_t jpegCapacity() {
  const platform::CaptureConfiguration size = capture::Broadcaster::castingConfiguration();
  return 3 * static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) + 64 * 1024;
}

}  // namespace

// ---- CastShared ----------------------------------------------------------------

CastShared::CastShared(asio::any_io_executor frameExecutor, std::size_t maxFramesInFlight, bool segmentCache)
    : frameExecutor(std::move(frameExecutor)), maxFramesInFlight(maxFramesInFlight == 0 ? 1 : maxFramesInFlight),
      segmentCache(segmentCache), masks(std::make_shared<media::Masks>()) {}

void CastShared::setRemote(Remote remote) {
  std::lock_guard lock(mutex_);
  remote_ = std::move(remote);
}

std::optional<Remote> CastShared::remote() const {
  std::lock_guard lock(mutex_);
  return remote_;
}

// ---- DisplayCast ---------------------------------------------------------------

DisplayCast::DisplayCast(std::uint32_t identifier, capture::Broadcaster::Stream stream,
                         std::shared_ptr<CastShared> shared)
    : identifier_(identifier), stream_(std::move(stream)), shared_(std::move(shared)),
      slots_(std::make_shared<async::Semaphore>(shared_->maxFramesInFlight)),
      // A JPEG of the casting size at the highest quality stays below three
      // bytes a pixel: each buffer is sized once, and its pages are touched
      // only as far as frames fill them.
      jpegs_(std::make_shared<media::BufferPool>(shared_->maxFramesInFlight + 1, jpegCapacity())),
      maskPlanes_(std::make_shared<media::BufferPool>(shared_->maxFramesInFlight + 1)) {
  if (shared_->segmentCache) encoder_ = std::make_unique<media::SegmentedJpegEncoder>();
}

DisplayCast::~DisplayCast() { stream_.stop(); }

void DisplayCast::start(asio::any_io_executor executor, Ended ended) {
  asio::co_spawn(executor, frameLoop(shared_from_this(), std::move(ended)), asio::detached);
}

void DisplayCast::stop() {
  stream_.stop();  // ends the frame loop
  slots_->close();
  std::lock_guard gate(maskGate_);
  stopped_ = true;
}

asio::awaitable<void> DisplayCast::frameLoop(std::shared_ptr<DisplayCast> self, Ended ended) {
  asio::any_io_executor frameExecutor = self->shared_->frameExecutor;
  if (!frameExecutor) frameExecutor = co_await asio::this_coro::executor;
  const capture::Broadcaster::Stream& stream = self->stream_;
  for (;;) {
    // A slot first, then the frame: while every slot is busy the capture keeps
    // replacing its one unread frame, so the newest frame is the one taken.
    async::Semaphore::Permit permit = co_await self->slots_->acquire();
    if (!permit) break;  // the cast was stopped
    if (stream.stream) stream.stream->requestFrame();
    std::optional<platform::SampleBuffer> sample = co_await stream.frames->next();
    if (!sample || !sample->image) {
      permit.reset();
      if (!sample) break;  // the stream was stopped, or ended on its own
      continue;            // a status-only sample
    }
    // The frame task holds the slot until its frame is done, whichever way.
    ++self->inFlight_;
    std::shared_ptr<void> slot(nullptr, [self, permit = std::move(permit)](void*) mutable {
      --self->inFlight_;
      ++self->finished_;
      permit.reset();
    });
    const std::uint64_t frame = ++self->framesTaken_;
    if (self->encoder_) {
      std::lock_guard lock(self->damageMutex_);
      // Frames that never reach the encoder (no remote yet) must not pile
      // up: the gap this leaves makes the next encoded frame compare everything.
      if (self->damage_.size() >= 16) self->damage_.clear();
      self->damage_.push_back({frame, std::move(sample->damage)});
    }
    asio::co_spawn(frameExecutor, frameTask(self, std::move(*sample), frame, std::move(slot)), asio::detached);
  }
  if (stream.failed && *stream.failed && ended) ended(self);
}

// One frame request on its way: the fragment, whose buffers the JPEG and mask
// pieces point into, and the bytes before them.
struct DisplayCast::FrameMessage {
  media::Fragment fragment;
  media::Fragment::Pieces parts;
  Bytes head;

  // The request's body: the display's identifier as a varint, then the
  // fragment's byte form, in three pieces that `owner` keeps alive.
  MessagePieces pieces(std::uint32_t identifier, std::shared_ptr<const FrameMessage> owner) {
    parts = fragment.pieces();
    codec::appendVarint(head, identifier);
    head.insert(head.end(), parts.head.begin(), parts.head.end());
    return MessagePieces{.pieces = {head, parts.jpeg, parts.mask}, .owner = std::move(owner)};
  }
};

std::optional<std::vector<platform::ImageRect>> DisplayCast::damageUpTo(std::uint64_t frame, bool& stale) {
  std::lock_guard lock(damageMutex_);
  stale = frame <= lastEncoded_;
  if (stale) return std::nullopt;
  std::optional<std::vector<platform::ImageRect>> merged(std::in_place);
  bool whole = encodeWhole_;
  auto end = damage_.begin();
  for (; end != damage_.end() && end->frame <= frame; ++end) {
    if (!end->areas)
      whole = true;
    else if (!whole)
      merged->insert(merged->end(), end->areas->begin(), end->areas->end());
  }
  // A gap (entries dropped) means unknown changes.
  if (damage_.empty() || damage_.front().frame != lastEncoded_ + 1) whole = true;
  damage_.erase(damage_.begin(), end);
  lastEncoded_ = frame;
  encodeWhole_ = false;
  if (whole) merged.reset();
  return merged;
}

void DisplayCast::encodingFailed() {
  std::lock_guard lock(damageMutex_);
  encodeWhole_ = true;
}

asio::awaitable<void> DisplayCast::frameTask(std::shared_ptr<DisplayCast> self, platform::SampleBuffer sample,
                                             std::uint64_t frame, std::shared_ptr<void> slot) {
  // `slot` is held, in this task's frame, until the frame is done.
  (void)slot;
  // A failure drops the frame (logged); nothing is retried.
  try {
    std::optional<Remote> remote = self->shared_->remote();
    if (!remote) co_return;  // no one to send it to yet
    auto message = std::make_shared<FrameMessage>();
    {
      std::unique_lock turn(self->encoderMutex_, std::defer_lock);
      if (self->encoder_) {
        turn.lock();
        bool stale = false;
        sample.damage = self->damageUpTo(frame, stale);
        if (stale) co_return;  // a newer frame went out already
      }
      try {
        message->fragment = media::Fragment::make(sample, self->encoder_.get(), self->jpegs_, self->maskPlanes_);
      } catch (...) {
        self->encodingFailed();
        throw;
      }
    }
    sample = {};  // gives the captured image back to the capture's pool
    {
      std::lock_guard gate(self->maskGate_);
      if (self->stopped_) co_return;  // the cast stopped meanwhile: leave the mask memory alone
      self->shared_->masks->process(message->fragment, self->identifier_);
    }
    co_await remote->connection.sendPiecesWithReply(Messages::windowFrame, message->pieces(self->identifier_, message));
  } catch (const std::exception& error) {
    log::debug("A frame of display " + std::to_string(self->identifier_) + " was dropped: " + error.what());
  }
}

// ---- DisplayCasts --------------------------------------------------------------

DisplayCasts::DisplayCasts(std::shared_ptr<CastShared> shared)
    : shared_(std::move(shared)), table_(std::make_shared<Table>()) {}

DisplayCasts::~DisplayCasts() { stopAll(); }

void DisplayCasts::start(std::uint32_t identifier, capture::Broadcaster::Stream stream,
                         asio::any_io_executor executor) {
  auto cast = std::make_shared<DisplayCast>(identifier, std::move(stream), shared_);
  std::shared_ptr<DisplayCast> replaced;
  {
    std::lock_guard lock(table_->mutex);
    if (table_->closed) {
      cast->stop();
      return;
    }
    replaced = std::exchange(table_->casts[identifier], cast);
  }
  if (replaced) replaced->stop();
  // Only now, with no frame of the older stream left to touch the mask
  // memory: the first frame of this stream carries the mask.
  shared_->masks->forget(identifier);
  cast->start(std::move(executor),
              [table = std::weak_ptr<Table>(table_), shared = shared_](const std::shared_ptr<DisplayCast>& ended) {
                if (auto alive = table.lock()) remove(alive, *shared, ended);
              });
}

void DisplayCasts::remove(const std::shared_ptr<Table>& table, const CastShared& shared,
                          const std::shared_ptr<DisplayCast>& cast) {
  {
    std::lock_guard lock(table->mutex);
    auto found = table->casts.find(cast->identifier());
    if (found == table->casts.end() || found->second != cast) return;  // replaced or stopped meanwhile
    table->casts.erase(found);
  }
  cast->stop();
  shared.masks->forget(cast->identifier());
}

void DisplayCasts::stop(std::uint32_t identifier) {
  std::shared_ptr<DisplayCast> cast;
  {
    std::lock_guard lock(table_->mutex);
    if (auto found = table_->casts.find(identifier); found != table_->casts.end()) {
      cast = std::move(found->second);
      table_->casts.erase(found);
    }
  }
  if (cast) cast->stop();
  // Also when nothing was cast: a later start begins without a remembered mask.
  shared_->masks->forget(identifier);
}

std::size_t DisplayCasts::stopAll() {
  std::map<std::uint32_t, std::shared_ptr<DisplayCast>> casts;
  {
    std::lock_guard lock(table_->mutex);
    table_->closed = true;
    casts.swap(table_->casts);
  }
  for (auto& [identifier, cast] : casts) cast->stop();
  return casts.size();
}

std::size_t DisplayCasts::count() const {
  std::lock_guard lock(table_->mutex);
  return table_->casts.size();
}

std::shared_ptr<DisplayCast> DisplayCasts::find(std::uint32_t identifier) const {
  std::lock_guard lock(table_->mutex);
  auto found = table_->casts.find(identifier);
  return found == table_->casts.end() ? nullptr : found->second;
}

}  // namespace marlinax::server
