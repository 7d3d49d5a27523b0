#pragma once

// An in-memory InputPoster that records every event, for tests of the layers above.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/InputPoster.h"

namespace marlinax::platform {

struct PostedInput {
  enum class Kind { move, leftDown, leftUp, drag, scroll, key };

  Kind kind = Kind::move;
  double x = 0, y = 0;                         // move, leftDown, leftUp, drag
  std::optional<std::int64_t> clickState;      // leftDown, leftUp
  ScrollPhase phase = ScrollPhase::began;      // scroll
  std::int32_t pixelsX = 0, pixelsY = 0;       // scroll
  input::KeyCode key = input::KeyCode::key_A;  // key
  bool down = false;                           // key

  static PostedInput move(double x, double y);
  static PostedInput leftDown(double x, double y, std::optional<std::int64_t> clickState);
  static PostedInput leftUp(double x, double y, std::optional<std::int64_t> clickState);
  static PostedInput drag(double x, double y);
  static PostedInput scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY);
  static PostedInput keyEvent(input::KeyCode key, bool down);

  // Compares only the fields that the kind uses.
  friend bool operator==(const PostedInput& a, const PostedInput& b);
};

std::ostream& operator<<(std::ostream& out, const PostedInput& event);

class FakeInputPoster final : public InputPoster, public DoubleClickIntervalSource {
 public:
  explicit FakeInputPoster(std::chrono::nanoseconds interval = std::chrono::milliseconds(500)) : interval_(interval) {}

  void moveMouse(double x, double y) override;
  void leftDown(double x, double y, std::optional<std::int64_t> clickState) override;
  void leftUp(double x, double y, std::optional<std::int64_t> clickState) override;
  void dragTo(double x, double y) override;
  void scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) override;
  void postKey(input::KeyCode key, bool down) override;

  std::chrono::nanoseconds doubleClickInterval() override;
  void setDoubleClickInterval(std::chrono::nanoseconds interval);
  int intervalReads() const;

  std::vector<PostedInput> events() const;
  void clear();

 private:
  void record(PostedInput event);

  mutable std::mutex mutex_;
  std::vector<PostedInput> events_;
  std::chrono::nanoseconds interval_;
  int intervalReads_ = 0;
};

}  // namespace marlinax::platform
