#include "platform/fake/FakeCapture.h"

#include <algorithm>
#include <utility>

namespace marlinax::platform {

struct FakeCaptureService::StreamState {
  std::uint32_t displayID = 0;
  // Held while the output runs, so that stop() returns only once no output
  // call is under way.
  std::mutex outputMutex;
  bool stopped = false;
  bool ended = false;
  Output output;
  Ended onEnd;
  // On demand: whether the consumer asked for a frame, and the newest frame
  // pushed since it last got one (changes coalesce into it).
  bool onDemand = false;
  bool wanted = false;
  std::optional<SampleBuffer> held;
  std::atomic<int>* grabs = nullptr;

  // With outputMutex held: delivers the frame now or keeps it until asked for.
  void offer(const SampleBuffer& frame) {
    if (onDemand && !wanted) {
      held = frame;
      return;
    }
    wanted = false;
    ++*grabs;
    output(frame);
  }
};

class FakeCaptureService::Stream : public CaptureStream {
 public:
  Stream(std::shared_ptr<Registry> registry, std::shared_ptr<StreamState> state)
      : registry_(std::move(registry)), state_(std::move(state)) {}
  ~Stream() override { stop(); }

  void requestFrame() override {
    std::lock_guard lock(state_->outputMutex);
    if (state_->stopped || state_->ended) return;
    state_->wanted = true;
    if (std::optional<SampleBuffer> held = std::exchange(state_->held, std::nullopt)) state_->offer(*held);
  }

  void stop() override {
    {
      std::lock_guard lock(state_->outputMutex);
      if (state_->stopped) return;
      state_->stopped = true;
    }
    registry_->stops++;
    std::lock_guard lock(registry_->mutex);
    std::erase(registry_->streams, state_);
  }

 private:
  std::shared_ptr<Registry> registry_;
  std::shared_ptr<StreamState> state_;
};

void FakeCaptureService::setDisplays(std::vector<DisplayInfo> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void FakeCaptureService::setFetchFailure(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  fetchFailure_ = std::move(message);
}

void FakeCaptureService::setStartFailure(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  startFailure_ = std::move(message);
}

void FakeCaptureService::setScreenshotFailure(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  screenshotFailure_ = std::move(message);
}

void FakeCaptureService::setScreenshotEmpty(bool empty) {
  std::lock_guard lock(mutex_);
  screenshotEmpty_ = empty;
}

void FakeCaptureService::setHonoursDemand(bool honours) {
  std::lock_guard lock(mutex_);
  honoursDemand_ = honours;
}

void FakeCaptureService::setScreen(std::uint32_t displayID, std::optional<SampleBuffer> frame) {
  std::lock_guard lock(mutex_);
  if (frame)
    screens_[displayID] = std::move(*frame);
  else
    screens_.erase(displayID);
}

int FakeCaptureService::push(std::uint32_t displayID, const SampleBuffer& frame) {
  std::vector<std::shared_ptr<StreamState>> targets;
  {
    std::lock_guard lock(registry_->mutex);
    for (const auto& stream : registry_->streams) {
      if (stream->displayID == displayID) targets.push_back(stream);
    }
  }
  int delivered = 0;
  for (const auto& stream : targets) {
    std::lock_guard lock(stream->outputMutex);
    if (stream->stopped || stream->ended) continue;
    stream->offer(frame);
    ++delivered;
  }
  return delivered;
}

int FakeCaptureService::endStreams(std::uint32_t displayID, const std::string& reason) {
  std::vector<std::shared_ptr<StreamState>> targets;
  {
    std::lock_guard lock(registry_->mutex);
    for (const auto& stream : registry_->streams) {
      if (stream->displayID == displayID) targets.push_back(stream);
    }
  }
  int ended = 0;
  for (const auto& stream : targets) {
    Ended onEnd;
    {
      std::lock_guard lock(stream->outputMutex);
      if (stream->stopped || stream->ended) continue;
      stream->ended = true;
      onEnd = std::move(stream->onEnd);
    }
    ++ended;
    if (onEnd) onEnd(reason);
  }
  return ended;
}

int FakeCaptureService::runningStreams(std::optional<std::uint32_t> displayID) const {
  std::lock_guard lock(registry_->mutex);
  const auto& streams = registry_->streams;
  return static_cast<int>(std::count_if(streams.begin(), streams.end(), [&](const auto& stream) {
    return !displayID || stream->displayID == *displayID;
  }));
}

std::optional<CaptureConfiguration> FakeCaptureService::lastStreamConfiguration() const {
  std::lock_guard lock(mutex_);
  return lastStreamConfiguration_;
}

std::optional<CaptureConfiguration> FakeCaptureService::lastScreenshotConfiguration() const {
  std::lock_guard lock(mutex_);
  return lastScreenshotConfiguration_;
}

SampleBuffer FakeCaptureService::makeFrame(int width, int height, std::uint8_t tag) {
  auto image = std::make_shared<Image>();
  image->width = width;
  image->height = height;
  image->stride = width * 4;
  image->pixels.resize(static_cast<std::size_t>(image->stride) * height);
  for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
    image->pixels[i] = tag;
    image->pixels[i + 1] = 0x40;
    image->pixels[i + 2] = 0x80;
    image->pixels[i + 3] = 0xFF;
  }
  SampleBuffer sample;
  sample.image = std::move(image);
  sample.presentationTime = {tag, 1'000'000'000};
  sample.duration = {1, 60};
  sample.captureNanos = tag;
  return sample;
}

std::vector<DisplayInfo> FakeCaptureService::shareableDisplays() {
  fetches_++;
  std::lock_guard lock(mutex_);
  if (fetchFailure_) throw CaptureError(*fetchFailure_);
  return displays_;
}

std::unique_ptr<CaptureStream> FakeCaptureService::startStream(const DisplayInfo& display,
                                                               const CaptureConfiguration& configuration, Output output,
                                                               Ended ended) {
  std::lock_guard lock(mutex_);
  lastStreamConfiguration_ = configuration;
  if (startFailure_) throw CaptureError(*startFailure_);
  auto state = std::make_shared<StreamState>();
  state->displayID = display.displayID;
  state->output = std::move(output);
  state->onEnd = std::move(ended);
  state->onDemand = configuration.onDemand && honoursDemand_;
  state->grabs = &registry_->grabs;
  {
    std::lock_guard registryLock(registry_->mutex);
    registry_->streams.push_back(state);
  }
  starts_++;
  if (auto screen = screens_.find(display.displayID); screen != screens_.end()) {
    std::lock_guard outputLock(state->outputMutex);
    state->offer(screen->second);
  }
  return std::make_unique<Stream>(registry_, std::move(state));
}

std::optional<SampleBuffer> FakeCaptureService::screenshot(const DisplayInfo& display,
                                                           const CaptureConfiguration& configuration) {
  screenshots_++;
  std::lock_guard lock(mutex_);
  lastScreenshotConfiguration_ = configuration;
  if (screenshotFailure_) throw CaptureError(*screenshotFailure_);
  bool known = std::any_of(displays_.begin(), displays_.end(),
                           [&](const DisplayInfo& d) { return d.displayID == display.displayID; });
  if (screenshotEmpty_ || !known) return std::nullopt;
  return makeFrame(configuration.width, configuration.height, static_cast<std::uint8_t>(display.displayID));
}

}  // namespace marlinax::platform
