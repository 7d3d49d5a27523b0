#pragma once

// Waiting in tests: polls a condition until it holds or a generous bound runs out, so that a broken
// test fails instead of hanging and a slow machine does not fail a correct one.

#include <chrono>
#include <thread>

namespace marlinax::testsupport {

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds patience = std::chrono::seconds(20),
                std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace marlinax::testsupport
