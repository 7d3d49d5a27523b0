#include "capture/Broadcaster.h"

#include <utility>

#include "async/Queue.h"
#include "log/Log.h"

namespace marlinax::capture {

Broadcaster::Output::Output(std::shared_ptr<FrameSequence> continuation) : continuation_(std::move(continuation)) {}

void Broadcaster::Output::operator()(platform::SampleBuffer sample) const { continuation_->push(std::move(sample)); }

void Broadcaster::Stream::stop() const {
  if (stream) stream->stop();
  if (continuation) continuation->close();
}

Broadcaster::Broadcaster(std::shared_ptr<platform::CaptureService> service, Clock clock)
    : service_(std::move(service)), clock_(std::move(clock)) {
  // The first unforced refresh must fetch.
  lastDisplayFetch_ = clock_() - 2 * fetchInterval;
}

Broadcaster::~Broadcaster() { stopWatchingAll(); }

void Broadcaster::refreshDisplays(bool force) {
  std::lock_guard lock(mutex_);
  if (!force && clock_() - lastDisplayFetch_ <= fetchInterval) return;
  fetchLocked();
}

void Broadcaster::fetchLocked() {
  std::vector<platform::DisplayInfo> fetched = service_->shareableDisplays();
  // One entry per identifier: the first listed wins.
  std::vector<platform::DisplayInfo> table;
  table.reserve(fetched.size());
  std::set<std::uint32_t> seen;
  for (auto& display : fetched) {
    if (seen.insert(display.displayID).second) table.push_back(std::move(display));
  }
  displays_ = std::move(table);
  lastDisplayFetch_ = clock_();
}

std::optional<platform::DisplayInfo> Broadcaster::display(std::uint32_t identifier) {
  std::lock_guard lock(mutex_);
  auto find = [&]() -> std::optional<platform::DisplayInfo> {
    for (const auto& display : displays_) {
      if (display.displayID == identifier) return display;
    }
    return std::nullopt;
  };
  if (auto hit = find()) return hit;
  fetchLocked();
  return find();
}

std::vector<platform::DisplayInfo> Broadcaster::displays() const {
  std::lock_guard lock(mutex_);
  return displays_;
}

Broadcaster::Stream Broadcaster::makeStream(const platform::DisplayInfo& display) const {
  auto frames = std::make_shared<FrameSequence>(1);
  auto output = std::make_shared<Output>(frames);
  auto failed = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<platform::CaptureStream> capture = service_->startStream(
      display, castingConfiguration(), [output](platform::SampleBuffer sample) { (*output)(std::move(sample)); },
      [frames, failed, id = display.displayID](const std::string& reason) {
        log::warning("Capture of display " + std::to_string(id) + " ended: " + reason);
        *failed = true;
        frames->close();
      });
  Stream stream;
  stream.failed = std::move(failed);
  stream.frames = frames;
  stream.continuation = frames;
  stream.output = std::move(output);
  stream.stream = std::move(capture);
  return stream;
}

std::shared_ptr<ChildWindowSequence> Broadcaster::watchChildWindows(std::uint32_t identifier) {
  auto sequence = std::make_shared<ChildWindowSequence>(0);
  std::shared_ptr<ChildWindowSequence> previous;
  {
    std::lock_guard lock(mutex_);
    childObservers_.insert(identifier);
    auto& slot = childWindows_[identifier];
    previous = std::exchange(slot, sequence);
  }
  if (previous) previous->close();
  return sequence;
}

void Broadcaster::removeChildObserver(std::uint32_t identifier) {
  std::shared_ptr<ChildWindowSequence> sequence;
  {
    std::lock_guard lock(mutex_);
    childObservers_.erase(identifier);
    if (auto it = childWindows_.find(identifier); it != childWindows_.end()) {
      sequence = std::move(it->second);
      childWindows_.erase(it);
    }
  }
  if (sequence) sequence->close();
}

std::set<std::uint32_t> Broadcaster::childObservers() const {
  std::lock_guard lock(mutex_);
  return childObservers_;
}

void Broadcaster::stopWatchingAll() {
  std::map<std::uint32_t, std::shared_ptr<ChildWindowSequence>> watched;
  {
    std::lock_guard lock(mutex_);
    watched.swap(childWindows_);
    childObservers_.clear();
  }
  for (auto& [identifier, sequence] : watched) sequence->close();
}

platform::CaptureConfiguration Broadcaster::baseConfiguration() {
  platform::CaptureConfiguration configuration;
  configuration.width = 2400;
  configuration.height = 1280;
  configuration.showsCursor = true;
  configuration.minimumFrameIntervalNumerator = 1;
  configuration.minimumFrameIntervalTimescale = 60;
  configuration.queueDepth = 3;
  return configuration;
}

platform::CaptureConfiguration Broadcaster::castingConfiguration() {
  platform::CaptureConfiguration configuration = baseConfiguration();
  configuration.width = 2400;
  configuration.height = 1280;
  configuration.showsCursor = true;
  // The frame loop asks for each frame when it has a slot for it: no grab or
  // scaling for frames that would be thrown away.
  configuration.onDemand = true;
  return configuration;
}

platform::CaptureConfiguration Broadcaster::previewConfiguration() {
  platform::CaptureConfiguration configuration = baseConfiguration();
  configuration.width = 1200;
  configuration.height = 640;
  configuration.showsCursor = true;
  return configuration;
}

}  // namespace marlinax::capture
