#include "platform/wayland/PipeWireCapture.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/x11/CaptureImage.h"

namespace marlinax::platform::wayland {

namespace {

std::int64_t monotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Turns received images into finished frames of the configured size.
class FrameMaker {
 public:
  explicit FrameMaker(const CaptureConfiguration& configuration)
      : configuration_(configuration), pool_(static_cast<std::size_t>(std::max(1, configuration.queueDepth)) + 1) {}

  SampleBuffer make(const RawFrame& frame) {
    std::int64_t captured = monotonicNanos();
    std::shared_ptr<Image> output = pool_.acquire(configuration_.width, configuration_.height);
    x11::scaleInto(frame.pixels, frame.stride, frame.width, frame.height, *output);
    // After scaling: the filter does not keep alpha at 0xFF, and BGRx has none.
    x11::makeOpaque(output->pixels.data(), output->stride, output->width, output->height);
    SampleBuffer sample;
    sample.image = std::move(output);
    sample.presentationTime = {captured, 1'000'000'000};
    sample.duration = {configuration_.minimumFrameIntervalNumerator, configuration_.minimumFrameIntervalTimescale};
    sample.captureNanos = captured;
    return sample;
  }

 private:
  CaptureConfiguration configuration_;
  x11::ImagePool pool_;
};

class PipeWireCaptureStream : public CaptureStream {
 public:
  PipeWireCaptureStream(PipeWireStream::Options options, const CaptureConfiguration& configuration,
                        CaptureService::Output output, std::shared_ptr<void> owner)
      : shared_(std::make_shared<Shared>()), owner_(std::move(owner)) {
    shared_->maker = std::make_unique<FrameMaker>(configuration);
    shared_->output = std::move(output);
    options.maxFramesPerSecond = framesPerSecond(configuration);
    std::weak_ptr<Shared> weak = shared_;
    pipewire_ = std::make_unique<PipeWireStream>(options, [weak](const RawFrame& frame) {
      auto shared = weak.lock();
      if (!shared || shared->stopping) return;
      SampleBuffer sample = shared->maker->make(frame);
      if (shared->stopping) return;
      shared->output(std::move(sample));
    });
  }

  ~PipeWireCaptureStream() override { stop(); }

  void stop() override {
    std::lock_guard lock(stopMutex_);
    if (!pipewire_) return;
    shared_->stopping = true;
    if (pipewire_->inStreamThread()) {
      // Called from the output: the stream cannot be torn down on its own
      // thread, so another thread does it once the output has returned.
      std::thread([pipewire = std::move(pipewire_), owner = std::move(owner_)]() mutable {
        pipewire.reset();
        owner.reset();
      }).detach();
      return;
    }
    pipewire_.reset();
    owner_.reset();
  }

 private:
  struct Shared {
    std::atomic<bool> stopping{false};
    std::unique_ptr<FrameMaker> maker;
    CaptureService::Output output;
  };
  std::shared_ptr<Shared> shared_;
  std::mutex stopMutex_;
  std::shared_ptr<void> owner_;
  std::unique_ptr<PipeWireStream> pipewire_;
};

}  // namespace

int framesPerSecond(const CaptureConfiguration& configuration) {
  if (configuration.minimumFrameIntervalNumerator <= 0 || configuration.minimumFrameIntervalTimescale <= 0) return 60;
  return std::clamp(configuration.minimumFrameIntervalTimescale / configuration.minimumFrameIntervalNumerator, 1, 240);
}

void checkCaptureSize(const CaptureConfiguration& configuration) {
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > 16384 ||
      configuration.height > 16384) {
    throw CaptureError("invalid capture size " + std::to_string(configuration.width) + "x" +
                       std::to_string(configuration.height));
  }
}

std::unique_ptr<CaptureStream> makePipeWireCaptureStream(PipeWireStream::Options options,
                                                         const CaptureConfiguration& configuration,
                                                         CaptureService::Output output, std::shared_ptr<void> owner) {
  return std::make_unique<PipeWireCaptureStream>(std::move(options), configuration, std::move(output),
                                                 std::move(owner));
}

SampleBuffer firstFrame(const std::function<std::unique_ptr<CaptureStream>(CaptureService::Output)>& start,
                        std::chrono::milliseconds timeout) {
  struct First {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<SampleBuffer> frame;
  };
  auto first = std::make_shared<First>();
  auto stream = start([first](SampleBuffer sample) {
    std::lock_guard lock(first->mutex);
    if (!first->frame) first->frame = std::move(sample);
    first->arrived.notify_all();
  });
  std::unique_lock lock(first->mutex);
  bool got = first->arrived.wait_for(lock, timeout, [&] { return first->frame.has_value(); });
  lock.unlock();
  stream->stop();
  if (!got) throw CaptureError("the screen cast sent no image");
  return std::move(*first->frame);
}

}  // namespace marlinax::platform::wayland
