#pragma once

// An in-memory capture service for tests of the layers above the platform:
// the test sets the display list, pushes frames into running streams and
// makes operations fail.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/CaptureService.h"

namespace marlinax::platform {

class FakeCaptureService : public CaptureService {
 public:
  FakeCaptureService() = default;
  explicit FakeCaptureService(std::vector<DisplayInfo> displays) : displays_(std::move(displays)) {}

  // --- Test controls (thread-safe).
  void setDisplays(std::vector<DisplayInfo> displays);
  // While set, every display fetch throws CaptureError with that message.
  void setFetchFailure(std::optional<std::string> message);
  // While set, startStream throws CaptureError with that message.
  void setStartFailure(std::optional<std::string> message);
  // While set, screenshots throw CaptureError with that message.
  void setScreenshotFailure(std::optional<std::string> message);
  // While true, screenshots return none.
  void setScreenshotEmpty(bool empty);

  // What the display shows now: like a real capture, every stream started
  // afterwards delivers it at once (before startStream returns), or on demand
  // as its first frame when asked. None: a new stream waits for push().
  void setScreen(std::uint32_t displayID, std::optional<SampleBuffer> frame);
  // While true, streams started afterwards with CaptureConfiguration::onDemand
  // wait to be asked for each frame; otherwise (the default) every stream
  // delivers at once, as a service that cannot wait does.
  void setHonoursDemand(bool honours);
  // Delivers a frame to every running stream of the display, on the calling
  // thread; a stream on demand that was not asked for a frame keeps it (the
  // newest one) until asked. Returns how many streams received it.
  int push(std::uint32_t displayID, const SampleBuffer& frame);
  // Ends every running stream of the display on its own, as when the display
  // is removed: each is told `reason` once (on the calling thread) and takes
  // no more frames; it still counts as running until stopped. Returns how many.
  int endStreams(std::uint32_t displayID, const std::string& reason);
  // Streams started and not yet stopped, for one display or all.
  int runningStreams(std::optional<std::uint32_t> displayID = std::nullopt) const;
  int fetchCount() const { return fetches_.load(); }
  int startCount() const { return starts_.load(); }
  int stopCount() const { return registry_->stops.load(); }
  // Frames handed to stream outputs: what a real capture would have grabbed.
  int grabCount() const { return registry_->grabs.load(); }
  int screenshotCount() const { return screenshots_.load(); }
  // The configuration of the most recent startStream / screenshot call.
  std::optional<CaptureConfiguration> lastStreamConfiguration() const;
  std::optional<CaptureConfiguration> lastScreenshotConfiguration() const;

  // A synthetic frame: width x height filled with one BGRA colour whose blue
  // byte is `tag` (so tests can tell frames apart), alpha 0xFF, stamped with
  // `tag` as its presentation time (timescale 1e9) and a duration of 1/60 s.
  static SampleBuffer makeFrame(int width, int height, std::uint8_t tag);

  // --- CaptureService
  std::vector<DisplayInfo> shareableDisplays() override;
  std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display, const CaptureConfiguration& configuration,
                                             Output output, Ended ended = {}) override;
  std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                         const CaptureConfiguration& configuration) override;

 private:
  struct StreamState;
  class Stream;
  // Shared with the streams, which may outlive the service.
  struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<StreamState>> streams;
    std::atomic<int> stops{0};
    std::atomic<int> grabs{0};
  };

  mutable std::mutex mutex_;
  std::vector<DisplayInfo> displays_;
  std::optional<std::string> fetchFailure_;
  std::optional<std::string> startFailure_;
  std::optional<std::string> screenshotFailure_;
  bool screenshotEmpty_ = false;
  bool honoursDemand_ = false;
  std::map<std::uint32_t, SampleBuffer> screens_;
  std::optional<CaptureConfiguration> lastStreamConfiguration_;
  std::optional<CaptureConfiguration> lastScreenshotConfiguration_;
  std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
  std::atomic<int> fetches_{0};
  std::atomic<int> starts_{0};
  std::atomic<int> screenshots_{0};
};

}  // namespace marlinax::platform
