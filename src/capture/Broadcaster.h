#pragma once

// The per-headset capture broadcaster: a cached table of the shareable
// displays, the start of capture streams (their owner is the caller) and the
// displays watched for child windows. Its operations run one at a time (a
// mutex held for each).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/CaptureService.h"
#include "platform/Clock.h"

namespace marlinax::async {
template <class T>
class Queue;  // async/Queue.h (Asio)
}  // namespace marlinax::async

namespace marlinax::capture {

// Captured frames, keeping only the newest unread one.
using FrameSequence = async::Queue<platform::SampleBuffer>;
// Lists of child-window identifiers of one watched display, unbounded.
using ChildWindowSequence = async::Queue<std::vector<std::uint32_t>>;

class Broadcaster {
 public:
  using Clock = platform::Clock;

  // The display table is refetched only when older than this, unless forced.
  static constexpr std::chrono::seconds fetchInterval{1};

  // Registered with a capture stream; yields every sample into the frames
  // sequence, whatever it carries (status-only samples are the reader's to skip).
  class Output {
   public:
    explicit Output(std::shared_ptr<FrameSequence> continuation);
    void operator()(platform::SampleBuffer sample) const;

   private:
    std::shared_ptr<FrameSequence> continuation_;
  };

  // One running capture. Copies share the capture.
  struct Stream {
    // Read side: next() gives none once the stream is stopped or ended on its
    // own, so a frame loop ends with its stream.
    std::shared_ptr<FrameSequence> frames;
    // Producer side of the same sequence.
    std::shared_ptr<FrameSequence> continuation;
    std::shared_ptr<Output> output;
    std::shared_ptr<platform::CaptureStream> stream;
    // Set (before `frames` ends) when the capture ended on its own: the
    // window system went away or the display was removed.
    std::shared_ptr<std::atomic<bool>> failed;

    // Stops the capture, then ends `frames`. Idempotent.
    void stop() const;
  };

  explicit Broadcaster(std::shared_ptr<platform::CaptureService> service, Clock clock = platform::steadyClock());
  ~Broadcaster();  // ends every child-window sequence
  Broadcaster(const Broadcaster&) = delete;
  Broadcaster& operator=(const Broadcaster&) = delete;

  // Refetches the display table when forced or when the last fetch is more
  // than fetchInterval ago (exactly fetchInterval counts as fresh). A failed
  // fetch throws the service's error and leaves table and fetch time alone.
  void refreshDisplays(bool force);

  // The display with that identifier from the table; on a miss the table is
  // refetched once (forced). None if it is still missing. Throws the fetch's error.
  std::optional<platform::DisplayInfo> display(std::uint32_t identifier);

  // The displays of the table, in the order the service listed them.
  std::vector<platform::DisplayInfo> displays() const;

  // Creates and starts a capture of the whole display with the casting
  // configuration; the caller owns and stops it. Touches no broadcaster state.
  // Throws when the capture cannot start; nothing is left running then.
  Stream makeStream(const platform::DisplayInfo& display) const;

  // Starts watching a display for child windows: adds it to childObservers and
  // returns the sequence its lists arrive on (replacing, and ending, an earlier
  // sequence of the same display). Nothing on this platform feeds it yet: it
  // ends when the display stops being watched.
  std::shared_ptr<ChildWindowSequence> watchChildWindows(std::uint32_t identifier);
  // Removes the display from childObservers and ends its sequence, if any.
  void removeChildObserver(std::uint32_t identifier);
  std::set<std::uint32_t> childObservers() const;

  // Ends every child-window sequence (the headset is gone).
  void stopWatchingAll();

  // A fresh copy of the settings every capture starts from.
  static platform::CaptureConfiguration baseConfiguration();
  // 2400 x 1280 with the cursor.
  static platform::CaptureConfiguration castingConfiguration();
  // 1200 x 640 with the cursor.
  static platform::CaptureConfiguration previewConfiguration();

 private:
  void fetchLocked();

  const std::shared_ptr<platform::CaptureService> service_;
  const Clock clock_;

  mutable std::mutex mutex_;
  std::vector<platform::DisplayInfo> displays_;
  std::chrono::steady_clock::time_point lastDisplayFetch_;
  std::set<std::uint32_t> childObservers_;
  std::map<std::uint32_t, std::shared_ptr<ChildWindowSequence>> childWindows_;
};

}  // namespace marlinax::capture
