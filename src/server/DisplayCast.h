#pragma once

// Casting of displays to one headset. A DisplayCast owns everything one cast
// display needs — its capture stream, the frame loop that reads it, the slots
// of its frames in flight, its segment cache — and DisplayCasts is the one
// table of them, by display identifier.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "async/Semaphore.h"
#include "capture/Broadcaster.h"
#include "messaging/Remote.h"
#include "platform/Frame.h"

namespace marlinax::media {
class BufferPool;
class Masks;
class SegmentedJpegEncoder;
}  // namespace marlinax::media

namespace marlinax::server {

// What the casts of one headset share: where frames are encoded, how many may
// be in flight, the connection they go out on (none until the session loop
// sets it) and the mask memory.
class CastShared {
 public:
  CastShared(asio::any_io_executor frameExecutor, std::size_t maxFramesInFlight, bool segmentCache);

  // Where frame work runs; when empty, on the executor of the frame loop.
  const asio::any_io_executor frameExecutor;
  // Frames of one display being built or waiting for the headset's reply, at most.
  const std::size_t maxFramesInFlight;
  // Whether each display keeps the compressed segments of its last frame.
  const bool segmentCache;
  const std::shared_ptr<media::Masks> masks;

  void setRemote(messaging::Remote remote);
  std::optional<messaging::Remote> remote() const;

 private:
  mutable std::mutex mutex_;
  std::optional<messaging::Remote> remote_;
};

// The casting of one display. Its frame loop takes a slot, asks the capture
// for a frame and hands it to a frame task, which encodes it on the frame
// executor, decides whether the mask travels and sends it; the slot comes
// back when the headset replied or the frame failed. A frame's bytes go out
// straight from its pooled buffers, in pieces (no copy of the frame is made
// after it is compressed). While every slot is busy
// the capture grabs nothing and coalesces the changes, so the newest frame is
// the one taken and a slow headset costs neither CPU nor memory.
class DisplayCast : public std::enable_shared_from_this<DisplayCast> {
 public:
  // Told once, from the frame loop, when the capture ended on its own.
  using Ended = std::function<void(const std::shared_ptr<DisplayCast>& cast)>;

  DisplayCast(std::uint32_t identifier, capture::Broadcaster::Stream stream, std::shared_ptr<CastShared> shared);
  ~DisplayCast();
  DisplayCast(const DisplayCast&) = delete;
  DisplayCast& operator=(const DisplayCast&) = delete;

  // Starts the frame loop on `executor`; nothing when stopped already.
  void start(asio::any_io_executor executor, Ended ended);
  // Stops the capture, which ends the frame loop. Once it returns no frame of
  // this cast touches the mask memory any more. Idempotent, any thread.
  void stop();

  std::uint32_t identifier() const { return identifier_; }
  // Frames now being built or waiting for their reply.
  std::size_t framesInFlight() const { return inFlight_; }
  // Frames whose task has ended, whether the frame was sent, dropped or failed.
  std::uint64_t framesFinished() const { return finished_; }

 private:
  struct FrameMessage;

  static asio::awaitable<void> frameLoop(std::shared_ptr<DisplayCast> self, Ended ended);
  static asio::awaitable<void> frameTask(std::shared_ptr<DisplayCast> self, platform::SampleBuffer sample,
                                         std::uint64_t frame, std::shared_ptr<void> slot);

  const std::uint32_t identifier_;
  const capture::Broadcaster::Stream stream_;
  const std::shared_ptr<CastShared> shared_;
  const std::shared_ptr<async::Semaphore> slots_;
  // The buffers of this display's frames in flight: compressed frames and
  // mask planes, recycled from one frame to the next.
  const std::shared_ptr<media::BufferPool> jpegs_;
  const std::shared_ptr<media::BufferPool> maskPlanes_;
  std::atomic<std::size_t> inFlight_ = 0;
  std::atomic<std::uint64_t> finished_ = 0;
  // Frames in flight take turns with the display's segment cache (none when
  // switched off).
  std::mutex encoderMutex_;
  std::unique_ptr<media::SegmentedJpegEncoder> encoder_;
  // The damage of each frame taken from the capture and not yet merged into
  // an encoded frame, by capture order. The cache compares only what the
  // damage since its last image covers, so frames are encoded in capture
  // order: an older frame that comes after a newer one is dropped.
  struct Damage {
    std::uint64_t frame = 0;
    std::optional<std::vector<platform::ImageRect>> areas;
  };
  std::optional<std::vector<platform::ImageRect>> damageUpTo(std::uint64_t frame, bool& stale);
  void encodingFailed();
  std::mutex damageMutex_;
  std::vector<Damage> damage_;
  std::uint64_t framesTaken_ = 0;  // the frame loop's count
  std::uint64_t lastEncoded_ = 0;
  bool encodeWhole_ = false;
  // Held while a frame's mask is processed and while the cast stops, so that
  // a frame of a stopped cast cannot bring a forgotten mask back.
  std::mutex maskGate_;
  bool stopped_ = false;
};

// The display casts of one headset: at most one per display.
class DisplayCasts {
 public:
  explicit DisplayCasts(std::shared_ptr<CastShared> shared);
  ~DisplayCasts();  // stops every cast
  DisplayCasts(const DisplayCasts&) = delete;
  DisplayCasts& operator=(const DisplayCasts&) = delete;

  // Casts the display from `stream` with a frame loop on `executor`. A cast of
  // the display that runs already is stopped first, and the display's mask is
  // forgotten, so the new stream's first frame (which the capture sends at
  // once, even of a still screen) carries the mask. After stopAll the stream
  // is stopped instead. A cast whose capture ends on its own leaves the table.
  void start(std::uint32_t identifier, capture::Broadcaster::Stream stream, asio::any_io_executor executor);
  // Stops the display's cast, if any, and forgets its mask.
  void stop(std::uint32_t identifier);
  // Stops every cast and refuses later ones; returns how many were running.
  std::size_t stopAll();

  std::size_t count() const;
  std::shared_ptr<DisplayCast> find(std::uint32_t identifier) const;

 private:
  struct Table {
    std::mutex mutex;
    std::map<std::uint32_t, std::shared_ptr<DisplayCast>> casts;
    bool closed = false;
  };
  // Removes the cast if it is the display's current one; stops it and forgets
  // the display's mask then.
  static void remove(const std::shared_ptr<Table>& table, const CastShared& shared,
                     const std::shared_ptr<DisplayCast>& cast);

  const std::shared_ptr<CastShared> shared_;
  const std::shared_ptr<Table> table_;
};

}  // namespace marlinax::server
