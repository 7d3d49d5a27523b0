#pragma once

// Pixel work of the X11 capture, free of X11 types: rectangles, the cursor
// overlay, opaque alpha, scaling into recycled output images.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Frame.h"

namespace marlinax::platform::x11 {

// A rectangle of root-window pixels.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  PixelRect intersected(const PixelRect& other) const;
  bool intersects(const PixelRect& other) const { return !intersected(other).empty(); }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// The pointer's current image: 32-bit ARGB with premultiplied alpha, row by
// row, hot spot relative to its top-left corner.
struct CursorImage {
  int width = 0;
  int height = 0;
  int xhot = 0;
  int yhot = 0;
  std::vector<std::uint32_t> argb;

  // Where the image lies when the pointer is at (pointerX, pointerY).
  PixelRect placedAt(int pointerX, int pointerY) const { return {pointerX - xhot, pointerY - yhot, width, height}; }
};

// Blends the cursor over a BGRX/BGRA image that shows the root rectangle
// `area`, with the pointer at root position (pointerX, pointerY). Parts
// outside the image are clipped; the fourth byte of each pixel is left alone.
void drawCursor(std::uint8_t* pixels, int stride, const PixelRect& area, const CursorImage& cursor, int pointerX,
                int pointerY);

// Sets the fourth byte of every pixel to 0xFF (X leaves it undefined).
void makeOpaque(std::uint8_t* pixels, int stride, int width, int height);

// Scales a BGRA image into `destination` (bilinear; exact output size, the
// aspect ratio is not kept). A source of the same size is copied. Filtered
// channels, alpha included, may come out up to 1% darker (libyuv's ARGB
// column filter weighs by 127/128).
void scaleInto(const std::uint8_t* pixels, int stride, int width, int height, Image& destination);

// Output images recycled through the deleter of the shared pointers handed
// out: a frame's memory returns to the pool when its last reader lets go.
// Thread-safe; the pool may be destroyed while images are still out.
class ImagePool {
 public:
  // Keeps at most `retained` free images of the current size.
  explicit ImagePool(std::size_t retained);
  ImagePool(const ImagePool&) = delete;
  ImagePool& operator=(const ImagePool&) = delete;

  // An image of that size (contents undefined), reused when one is free.
  std::shared_ptr<Image> acquire(int width, int height);
  std::size_t allocations() const;

 private:
  struct Shared {
    std::mutex mutex;
    std::vector<std::unique_ptr<Image>> free;
    std::size_t retained = 0;
    std::size_t allocations = 0;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace marlinax::platform::x11
