#pragma once

#include <cstdint>
#include <memory>
#include <random>

#include <turbojpeg.h>

#include "platform/Frame.h"

namespace marlinax::media::testing {

// A BGRA image whose colour channels are smooth gradients (JPEG keeps them close) and
// whose alpha byte is alpha(x, y). Rows may carry `extraStride` bytes of padding, filled
// with 0xEE so that anything reading padding shows up.
template <class Alpha>
std::shared_ptr<platform::Image> makeImage(int width, int height, Alpha alpha, int extraStride = 0, int seed = 0) {
  const int stride = width * 4 + extraStride;
  auto image = std::make_shared<platform::Image>(
      platform::Image{width, height, stride, Bytes(static_cast<std::size_t>(stride) * height, 0xEE)});
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = image->row(y);
    for (int x = 0; x < width; ++x) {
      row[4 * x + 0] = static_cast<std::uint8_t>((x * 255) / (width > 1 ? width - 1 : 1));
      row[4 * x + 1] = static_cast<std::uint8_t>((y * 255) / (height > 1 ? height - 1 : 1));
      row[4 * x + 2] = static_cast<std::uint8_t>((x + y + seed * 37) / 4);
      row[4 * x + 3] = static_cast<std::uint8_t>(alpha(x, y));
    }
  }
  return image;
}

// The alpha of an opaque frame.
inline int opaque(int, int) { return 0xFF; }

inline platform::SampleBuffer sampleOf(std::shared_ptr<const platform::Image> image,
                                       platform::MediaTime presentation = {1, 60},
                                       platform::MediaTime duration = {1, 60}) {
  return {.image = std::move(image), .damage = {}, .presentationTime = presentation, .duration = duration};
}

inline Bytes randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

// Decodes with libjpeg-turbo into 4-byte BGRX pixels at the JPEG's own size; none when it does not decode.
inline Bytes decodeJpeg(const Bytes& jpeg) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  Bytes bgrx;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) == 0) {
    bgrx.resize(static_cast<std::size_t>(width) * height * 4);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), bgrx.data(), width, 0, height, TJPF_BGRX, 0) != 0) bgrx.clear();
  }
  tjDestroy(handle);
  return bgrx;
}

}  // namespace marlinax::media::testing
