#include "platform/wayland/CaptureGnome.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/wayland/Bus.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/MutterSession.h"
#include "platform/wayland/PipeWireStream.h"
#include "platform/x11/CaptureImage.h"

namespace marlinax::platform::wayland {

namespace {

using x11::ImagePool;

constexpr auto startTimeout = std::chrono::seconds(10);

std::int64_t monotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void checkConfiguration(const CaptureConfiguration& configuration) {
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > 16384 ||
      configuration.height > 16384) {
    throw CaptureError("invalid capture size " + std::to_string(configuration.width) + "x" +
                       std::to_string(configuration.height));
  }
}

int framesPerSecond(const CaptureConfiguration& configuration) {
  if (configuration.minimumFrameIntervalNumerator <= 0 || configuration.minimumFrameIntervalTimescale <= 0) return 60;
  return std::clamp(configuration.minimumFrameIntervalTimescale / configuration.minimumFrameIntervalNumerator, 1, 240);
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
  ImagePool pool_;
};

// One cast: mutter's session and the PipeWire stream that receives it.
class GnomeCaptureStream : public CaptureStream {
 public:
  GnomeCaptureStream(std::shared_ptr<Bus> bus, const GnomeDisplay& display,
                     const CaptureConfiguration& configuration, CaptureService::Output output)
      : shared_(std::make_shared<Shared>()) {
    shared_->maker = std::make_unique<FrameMaker>(configuration);
    shared_->output = std::move(output);
    session_ = std::make_unique<MutterSession>(bus, false);
    std::string stream;
    try {
      stream = session_->recordMonitor(display.connector,
                                       configuration.showsCursor ? CursorMode::embedded : CursorMode::hidden);
      session_->start(startTimeout);
    } catch (const BusError& error) {
      throw CaptureError(std::string("the screen cast did not start: ") + error.what());
    }
    PipeWireStream::Options options;
    options.node = session_->node(stream);
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

  ~GnomeCaptureStream() override { stop(); }

  void stop() override {
    std::lock_guard lock(stopMutex_);
    if (!pipewire_) return;
    shared_->stopping = true;
    if (pipewire_->inStreamThread()) {
      // Called from the output: the stream cannot be torn down on its own
      // thread, so another thread does it once the output has returned.
      std::thread([pipewire = std::move(pipewire_), session = std::move(session_)]() mutable {
        pipewire.reset();
        session.reset();
      }).detach();
      return;
    }
    pipewire_.reset();
    session_.reset();
  }

 private:
  struct Shared {
    std::atomic<bool> stopping{false};
    std::unique_ptr<FrameMaker> maker;
    CaptureService::Output output;
  };
  std::shared_ptr<Shared> shared_;
  std::mutex stopMutex_;
  std::unique_ptr<MutterSession> session_;
  std::unique_ptr<PipeWireStream> pipewire_;
};

class GnomeCaptureService : public CaptureService {
 public:
  explicit GnomeCaptureService(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {
    if (!bus_->nameHasOwner("org.gnome.Mutter.ScreenCast") || !bus_->nameHasOwner("org.gnome.Mutter.DisplayConfig")) {
      throw CaptureError("mutter's screen cast is not on the session bus");
    }
  }

  std::vector<DisplayInfo> shareableDisplays() override {
    std::vector<DisplayInfo> result;
    for (const GnomeDisplay& display : displays()) result.push_back(display.info);
    return result;
  }

  std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display, const CaptureConfiguration& configuration,
                                             Output output) override {
    checkConfiguration(configuration);
    auto found = find(display.displayID);
    if (!found) throw CaptureError("no display with identifier " + std::to_string(display.displayID));
    return std::make_unique<GnomeCaptureStream>(bus_, *found, configuration, std::move(output));
  }

  std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                         const CaptureConfiguration& configuration) override {
    checkConfiguration(configuration);
    auto found = find(display.displayID);
    if (!found) return std::nullopt;
    // A cast's first frame is the screen as it is now.
    struct First {
      std::mutex mutex;
      std::condition_variable arrived;
      std::optional<SampleBuffer> frame;
    };
    auto first = std::make_shared<First>();
    auto stream = std::make_unique<GnomeCaptureStream>(bus_, *found, configuration, [first](SampleBuffer sample) {
      std::lock_guard lock(first->mutex);
      if (!first->frame) first->frame = std::move(sample);
      first->arrived.notify_all();
    });
    std::unique_lock lock(first->mutex);
    bool got = first->arrived.wait_for(lock, startTimeout, [&] { return first->frame.has_value(); });
    lock.unlock();
    stream->stop();
    if (!got) throw CaptureError("the screen cast sent no image");
    return std::move(first->frame);
  }

 private:
  std::vector<GnomeDisplay> displays() {
    try {
      return currentDisplays(*bus_);
    } catch (const BusError& error) {
      throw CaptureError(error.what());
    }
  }

  std::optional<GnomeDisplay> find(std::uint32_t id) {
    for (GnomeDisplay& display : displays()) {
      if (display.info.displayID == id) return std::move(display);
    }
    return std::nullopt;
  }

  std::shared_ptr<Bus> bus_;
};

}  // namespace

std::shared_ptr<CaptureService> makeGnomeCaptureService(std::shared_ptr<Bus> bus) {
  return std::make_shared<GnomeCaptureService>(std::move(bus));
}

}  // namespace marlinax::platform::wayland
