#pragma once

// A callback at a fixed interval on the GUI thread. The product's timer is a
// QTimer on the monotonic clock; tests tick a fake one by hand.

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

namespace marlinax::app {

class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
  // Calls `tick` every `interval` until stopped. Starting again replaces it.
  virtual void start(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
  virtual void stop() = 0;
};

class QtRepeatingTimer final : public RepeatingTimer {
 public:
  QtRepeatingTimer();
  void start(std::chrono::milliseconds interval, std::function<void()> tick) override;
  void stop() override;

 private:
  QTimer timer_;
  std::function<void()> tick_;
};

}  // namespace marlinax::app
