#pragma once

#include <memory>

#include "codec/Bytes.h"
#include "platform/Frame.h"

namespace marlinax::media {

// A frame's alpha channel: one byte per pixel, rows of `stride` bytes (stride >= width),
// the bytes after each row's `width` pixels zero. `bytes` holds stride * height bytes.
struct MaskPlane {
  int width = 0;
  int height = 0;
  int stride = 0;
  Bytes bytes;

  // Row stride of every plane this computer makes: the width rounded up to a multiple
  // of 64 bytes (2400 -> 2432, 1200 -> 1216), so rows start on cache-line boundaries,
  // as planes of the Mac's image library do. The headset takes the stride from the
  // fragment header and hashes whole rows, so any stride >= width works as long as the
  // header, the bytes and the digest agree.
  static int rowStride(int width);
};

// The plane of a fully opaque width x height image (0xFF, padding zeroed). One
// plane is shared by every caller asking for the same size in a row, so a mask
// that stays the same is recognised by the pointer alone.
std::shared_ptr<const MaskPlane> opaqueMask(int width, int height);

// Copies the fourth byte (alpha) of every BGRA pixel into a new plane, padding zeroed.
// Throws MediaError for an image whose geometry is inconsistent.
MaskPlane extractAlpha(const platform::Image& image);
// The same into `plane`, whose buffer is reused when it has room.
void extractAlphaInto(const platform::Image& image, MaskPlane& plane);

// Throws MediaError unless the image is a non-empty BGRA image whose rows and pixels
// fit in its buffer (and within the 65500-pixel JPEG limit).
void checkImage(const platform::Image& image);

}  // namespace marlinax::media
