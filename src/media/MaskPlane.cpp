#include "media/MaskPlane.h"

#include <cstring>
#include <mutex>
#include <string>

#include <libyuv/planar_functions.h>

#include "media/MediaError.h"

namespace marlinax::media {

int MaskPlane::rowStride(int width) { return (width + 63) / 64 * 64; }

std::shared_ptr<const MaskPlane> opaqueMask(int width, int height) {
  static std::mutex mutex;
  static std::shared_ptr<const MaskPlane> last;
  std::lock_guard lock(mutex);
  if (last && last->width == width && last->height == height) return last;
  auto plane = std::make_shared<MaskPlane>();
  plane->width = width;
  plane->height = height;
  plane->stride = MaskPlane::rowStride(width);
  plane->bytes.assign(static_cast<std::size_t>(plane->stride) * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y)
    std::memset(plane->bytes.data() + static_cast<std::size_t>(y) * plane->stride, 0xFF,
                static_cast<std::size_t>(width));
  last = plane;
  return last;
}

void checkImage(const platform::Image& image) {
  constexpr int kMaxDimension = 65500;  // the largest JPEG side
  if (image.width <= 0 || image.height <= 0) throw MediaError("image is empty");
  if (image.width > kMaxDimension || image.height > kMaxDimension) throw MediaError("image is too large");
  if (image.stride < 4 * image.width) throw MediaError("image rows are shorter than its BGRA pixels");
  const std::size_t needed = static_cast<std::size_t>(image.stride) * static_cast<std::size_t>(image.height - 1) +
                             4 * static_cast<std::size_t>(image.width);
  if (image.pixels.size() < needed)
    throw MediaError("image buffer holds " + std::to_string(image.pixels.size()) + " bytes, needs " +
                     std::to_string(needed));
}

MaskPlane extractAlpha(const platform::Image& image) {
  MaskPlane plane;
  extractAlphaInto(image, plane);
  return plane;
}

void extractAlphaInto(const platform::Image& image, MaskPlane& plane) {
  checkImage(image);
  plane.width = image.width;
  plane.height = image.height;
  plane.stride = MaskPlane::rowStride(image.width);
  plane.bytes.resize(static_cast<std::size_t>(plane.stride) * static_cast<std::size_t>(plane.height));
  // libyuv's "ARGB" is B, G, R, A in memory: the byte it extracts is the fourth.
  if (libyuv::ARGBExtractAlpha(image.pixels.data(), image.stride, plane.bytes.data(), plane.stride, image.width,
                               image.height) != 0)
    throw MediaError("alpha extraction failed");
  // The padding after each row is zero: the headset hashes whole rows.
  if (plane.stride > plane.width) {
    for (int y = 0; y < plane.height; ++y)
      std::memset(plane.bytes.data() + static_cast<std::size_t>(y) * plane.stride + plane.width, 0,
                  static_cast<std::size_t>(plane.stride - plane.width));
  }
}

}  // namespace marlinax::media
