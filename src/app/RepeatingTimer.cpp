#include "app/RepeatingTimer.h"

namespace marlinax::app {

QtRepeatingTimer::QtRepeatingTimer() {
  // The interval is a wait, not a rate: the monotonic clock, no catching up.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (tick_) tick_();
  });
}

void QtRepeatingTimer::start(std::chrono::milliseconds interval, std::function<void()> tick) {
  tick_ = std::move(tick);
  timer_.start(interval);
}

void QtRepeatingTimer::stop() {
  timer_.stop();
  tick_ = nullptr;
}

}  // namespace marlinax::app
