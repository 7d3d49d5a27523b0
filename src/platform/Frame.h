#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "codec/Bytes.h"

namespace marlinax::platform {

// A point in time or a duration as value / timescale seconds. A timescale of 0
// marks the invalid time.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;

  static constexpr MediaTime invalid() { return {0, 0}; }
  bool isValid() const { return timescale != 0; }
  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// A 32-bit BGRA image: blue, green, red, alpha in memory order, rows of `stride`
// bytes (stride >= 4 * width).
struct Image {
  int width = 0;
  int height = 0;
  int stride = 0;
  Bytes pixels;  // stride * height bytes

  const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * stride; }
  std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride; }
};

// A rectangle of image pixels.
struct ImageRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const ImageRect&, const ImageRect&) = default;
};

// One captured sample: an image with its times, or a status-only sample
// (no image) that consumers skip.
struct SampleBuffer {
  std::shared_ptr<const Image> image;
  // The areas of `image` that may differ from the stream's previous frame;
  // none when any pixel may (a first frame, a new geometry, an unknown change).
  std::optional<std::vector<ImageRect>> damage;
  MediaTime presentationTime;
  MediaTime duration;
  // Monotonic capture instant in nanoseconds (for latency measurements).
  std::int64_t captureNanos = 0;
  // Every pixel's alpha is 0xFF (the capture made it so): the mask need not be
  // read from the image.
  bool opaque = false;
};

}  // namespace marlinax::platform
