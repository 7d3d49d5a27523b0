#pragma once

// Collects what a capture stream delivers: every frame's capture time and the newest frame (older
// ones are let go at once, as the server lets them go, so captures can reuse their buffers), and
// how the stream ended.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/CaptureService.h"

namespace marlinax::testsupport {

class FrameRecorder {
 public:
  platform::CaptureService::Output output() {
    return [this](platform::SampleBuffer sample) {
      std::lock_guard lock(mutex_);
      timestamps_.push_back(sample.captureNanos);
      last_ = std::move(sample);
      changed_.notify_all();
    };
  }
  std::function<void(const std::string&)> ended() {
    return [this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      endings_.push_back(reason);
      changed_.notify_all();
    };
  }

  int count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(timestamps_.size());
  }
  std::vector<std::int64_t> timestamps() const {
    std::lock_guard lock(mutex_);
    return timestamps_;
  }
  platform::SampleBuffer last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }
  std::vector<std::string> endings() const {
    std::lock_guard lock(mutex_);
    return endings_;
  }

  // Waits until more than `count` frames arrived.
  bool waitBeyond(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return static_cast<int>(timestamps_.size()) > count; });
  }
  // Waits until the newest frame satisfies `match` (an earlier one may have caught a change
  // half-way).
  bool waitFor(const std::function<bool(const platform::Image&)>& match,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return last_.image && match(*last_.image); });
  }
  // Waits until the stream said that it ended.
  bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !endings_.empty(); });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::int64_t> timestamps_;
  platform::SampleBuffer last_;
  std::vector<std::string> endings_;
};

}  // namespace marlinax::testsupport
