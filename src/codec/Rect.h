#pragma once

namespace marlinax::codec {

// A rectangle in points: origin and size. Encoded as [[x, y], [width, height]].
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace marlinax::codec
