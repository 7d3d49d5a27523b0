#pragma once

// The monotonic clock that timing logic reads (the age of the display table,
// the interval between clicks). Whatever measures time takes one of these, so
// that tests can pass a clock they move by hand.

#include <chrono>
#include <functional>

namespace marlinax::platform {

using Clock = std::function<std::chrono::steady_clock::time_point()>;

inline Clock steadyClock() {
  return [] { return std::chrono::steady_clock::now(); };
}

}  // namespace marlinax::platform
