#include "platform/fake/FakeInputPoster.h"

#include <utility>

namespace marlinax::platform {

PostedInput PostedInput::move(double x, double y) {
  PostedInput e;
  e.kind = Kind::move;
  e.x = x;
  e.y = y;
  return e;
}

PostedInput PostedInput::leftDown(double x, double y, std::optional<std::int64_t> clickState) {
  PostedInput e = move(x, y);
  e.kind = Kind::leftDown;
  e.clickState = clickState;
  return e;
}

PostedInput PostedInput::leftUp(double x, double y, std::optional<std::int64_t> clickState) {
  PostedInput e = leftDown(x, y, clickState);
  e.kind = Kind::leftUp;
  return e;
}

PostedInput PostedInput::drag(double x, double y) {
  PostedInput e = move(x, y);
  e.kind = Kind::drag;
  return e;
}

PostedInput PostedInput::scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) {
  PostedInput e;
  e.kind = Kind::scroll;
  e.phase = phase;
  e.pixelsX = pixelsX;
  e.pixelsY = pixelsY;
  return e;
}

PostedInput PostedInput::keyEvent(input::KeyCode key, bool down) {
  PostedInput e;
  e.kind = Kind::key;
  e.key = key;
  e.down = down;
  return e;
}

bool operator==(const PostedInput& a, const PostedInput& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
  case PostedInput::Kind::move:
  case PostedInput::Kind::drag: return a.x == b.x && a.y == b.y;
  case PostedInput::Kind::leftDown:
  case PostedInput::Kind::leftUp: return a.x == b.x && a.y == b.y && a.clickState == b.clickState;
  case PostedInput::Kind::scroll: return a.phase == b.phase && a.pixelsX == b.pixelsX && a.pixelsY == b.pixelsY;
  case PostedInput::Kind::key: return a.key == b.key && a.down == b.down;
  }
  return false;
}

std::ostream& operator<<(std::ostream& out, const PostedInput& e) {
  switch (e.kind) {
  case PostedInput::Kind::move: return out << "move(" << e.x << ", " << e.y << ")";
  case PostedInput::Kind::drag: return out << "drag(" << e.x << ", " << e.y << ")";
  case PostedInput::Kind::leftDown:
  case PostedInput::Kind::leftUp:
    out << (e.kind == PostedInput::Kind::leftDown ? "leftDown(" : "leftUp(") << e.x << ", " << e.y << ", ";
    if (e.clickState) {
      out << *e.clickState;
    } else {
      out << "-";
    }
    return out << ")";
  case PostedInput::Kind::scroll: {
    const char* phase = e.phase == ScrollPhase::began ? "began" : e.phase == ScrollPhase::changed ? "changed" : "ended";
    return out << "scroll(" << phase << ", " << e.pixelsX << ", " << e.pixelsY << ")";
  }
  case PostedInput::Kind::key:
    return out << "key(" << static_cast<std::int64_t>(e.key) << (e.down ? ", down)" : ", up)");
  }
  return out;
}

void FakeInputPoster::moveMouse(double x, double y) { record(PostedInput::move(x, y)); }

void FakeInputPoster::leftDown(double x, double y, std::optional<std::int64_t> clickState) {
  record(PostedInput::leftDown(x, y, clickState));
}

void FakeInputPoster::leftUp(double x, double y, std::optional<std::int64_t> clickState) {
  record(PostedInput::leftUp(x, y, clickState));
}

void FakeInputPoster::dragTo(double x, double y) { record(PostedInput::drag(x, y)); }

void FakeInputPoster::scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) {
  record(PostedInput::scroll(phase, pixelsX, pixelsY));
}

void FakeInputPoster::postKey(input::KeyCode key, bool down) { record(PostedInput::keyEvent(key, down)); }

std::chrono::nanoseconds FakeInputPoster::doubleClickInterval() {
  std::lock_guard lock(mutex_);
  ++intervalReads_;
  return interval_;
}

void FakeInputPoster::setDoubleClickInterval(std::chrono::nanoseconds interval) {
  std::lock_guard lock(mutex_);
  interval_ = interval;
}

int FakeInputPoster::intervalReads() const {
  std::lock_guard lock(mutex_);
  return intervalReads_;
}

std::vector<PostedInput> FakeInputPoster::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void FakeInputPoster::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void FakeInputPoster::record(PostedInput event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

}  // namespace marlinax::platform
