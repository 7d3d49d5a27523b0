#include "platform/x11/CaptureImage.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

namespace marlinax::platform::x11 {

PixelRect PixelRect::intersected(const PixelRect& other) const {
  int left = std::max(x, other.x);
  int top = std::max(y, other.y);
  int right = std::min(x + width, other.x + other.width);
  int bottom = std::min(y + height, other.y + other.height);
  if (right <= left || bottom <= top) return {left, top, 0, 0};
  return {left, top, right - left, bottom - top};
}

void drawCursor(std::uint8_t* pixels, int stride, const PixelRect& area, const CursorImage& cursor, int pointerX,
                int pointerY) {
  PixelRect placed = cursor.placedAt(pointerX, pointerY);
  PixelRect visible = placed.intersected(area);
  if (visible.empty() || cursor.argb.size() < static_cast<std::size_t>(cursor.width) * cursor.height) return;
  for (int y = visible.y; y < visible.y + visible.height; ++y) {
    const std::uint32_t* source = cursor.argb.data() + static_cast<std::size_t>(y - placed.y) * cursor.width;
    std::uint8_t* row = pixels + static_cast<std::size_t>(y - area.y) * stride;
    for (int x = visible.x; x < visible.x + visible.width; ++x) {
      std::uint32_t pixel = source[x - placed.x];
      std::uint32_t alpha = pixel >> 24;
      if (alpha == 0) continue;
      std::uint8_t* target = row + static_cast<std::size_t>(x - area.x) * 4;
      // Premultiplied "over": result = cursor + background * (1 - alpha).
      std::uint32_t inverse = 255 - alpha;
      std::array<std::uint32_t, 3> colour = {pixel & 0xFF, (pixel >> 8) & 0xFF, (pixel >> 16) & 0xFF};  // B, G, R
      for (int c = 0; c < 3; ++c) {
        std::uint32_t value = colour[c] + (target[c] * inverse + 127) / 255;
        target[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
      }
    }
  }
}

void makeOpaque(std::uint8_t* pixels, int stride, int width, int height) {
  // libyuv's SIMD alpha copy, reading one row of 0xFF for every row.
  static const std::vector<std::uint8_t> opaqueRow(16384, 0xFF);
  for (int x = 0; x < width; x += static_cast<int>(opaqueRow.size())) {
    int span = std::min<int>(static_cast<int>(opaqueRow.size()), width - x);
    libyuv::ARGBCopyYToAlpha(opaqueRow.data(), 0, pixels + static_cast<std::size_t>(x) * 4, stride, span, height);
  }
}

void scaleInto(const std::uint8_t* pixels, int stride, int width, int height, Image& destination) {
  libyuv::ARGBScale(pixels, stride, width, height, destination.pixels.data(), destination.stride, destination.width,
                    destination.height, libyuv::kFilterBilinear);
}

ImagePool::ImagePool(std::size_t retained) : shared_(std::make_shared<Shared>()) { shared_->retained = retained; }

std::shared_ptr<Image> ImagePool::acquire(int width, int height) {
  std::unique_ptr<Image> image;
  {
    std::lock_guard lock(shared_->mutex);
    // Free images of another size are of no more use.
    std::erase_if(shared_->free, [&](const auto& free) { return free->width != width || free->height != height; });
    if (!shared_->free.empty()) {
      image = std::move(shared_->free.back());
      shared_->free.pop_back();
    } else {
      ++shared_->allocations;
    }
  }
  if (!image) {
    image = std::make_unique<Image>();
    image->width = width;
    image->height = height;
    image->stride = width * 4;
    image->pixels.resize(static_cast<std::size_t>(image->stride) * height);
  }
  std::weak_ptr<Shared> pool = shared_;
  return std::shared_ptr<Image>(image.release(), [pool](Image* released) {
    std::unique_ptr<Image> owned(released);
    if (auto shared = pool.lock()) {
      std::lock_guard lock(shared->mutex);
      if (shared->free.size() < shared->retained) shared->free.push_back(std::move(owned));
    }
  });
}

std::size_t ImagePool::allocations() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->allocations;
}

}  // namespace marlinax::platform::x11
