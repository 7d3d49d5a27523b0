#pragma once

// Screen capture: the list of shareable displays, continuous capture of one
// whole display and single screenshots. Platform-neutral; the X11
// implementation lives in x11/, an in-memory one for tests in fake/.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/Rect.h"
#include "platform/Frame.h"

namespace marlinax::platform {

// One display as the window system reports it.
struct DisplayInfo {
  // Unique within one list and stable while the display exists.
  std::uint32_t displayID = 0;
  // The display's rectangle in the global display space (root-window pixels,
  // one point per pixel), origin top-left, y growing downward.
  codec::Rect frame;
};

// How a display is captured. Frames are BGRA images of exactly width x height
// (the display's image is stretched to fill it; the aspect ratio is not kept),
// every alpha byte 0xFF, at most one per minimum frame interval.
struct CaptureConfiguration {
  int width = 2400;
  int height = 1280;
  bool showsCursor = true;
  // Minimum interval between two delivered frames: numerator / timescale seconds.
  int minimumFrameIntervalNumerator = 1;
  int minimumFrameIntervalTimescale = 60;
  // How many frames the service may have in flight before it reuses memory.
  int queueDepth = 3;
  // True: the stream grabs a frame only once the consumer asked for one
  // (CaptureStream::requestFrame) and the image changed since its last frame;
  // changes meanwhile are coalesced. A service that cannot wait delivers as
  // usual.
  bool onDemand = false;
};

// Every failure of the capture service.
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A running capture of one display.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Stops delivery. Once it returns the output is not called again (unless it
  // is called from inside the output itself, which then returns promptly and
  // the stream winds down on its own). Idempotent; destruction stops too.
  virtual void stop() = 0;
  // The consumer can take one frame now (see CaptureConfiguration::onDemand).
  // Requests do not add up: one frame answers any number of them.
  virtual void requestFrame() {}
};

class CaptureService {
 public:
  // Receives every captured frame, on a thread of the service's choosing.
  using Output = std::function<void(SampleBuffer)>;
  // Told at most once, on a thread of the service's choosing, when a stream
  // ends on its own (the window system went away, the display was removed),
  // with the reason; never after stop(). No frame follows.
  using Ended = std::function<void(const std::string& reason)>;

  virtual ~CaptureService() = default;

  // The displays that can be captured now. Throws CaptureError.
  virtual std::vector<DisplayInfo> shareableDisplays() = 0;

  // Starts capturing the whole display. Frames are delivered only when its
  // image changed (a first one right after the start), newest first: a frame
  // that could not be delivered within the rate limit is replaced by a newer
  // one. Throws CaptureError when the capture cannot start (the display is
  // gone, the window system refuses).
  virtual std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display,
                                                     const CaptureConfiguration& configuration, Output output,
                                                     Ended ended = {}) = 0;

  // One image of the display now, scaled as configured. None when the display
  // is gone; throws CaptureError when the capture fails.
  virtual std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                                 const CaptureConfiguration& configuration) = 0;
};

}  // namespace marlinax::platform
