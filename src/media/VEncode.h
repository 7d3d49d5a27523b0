#pragma once

#include "media/SampleBufferData.h"
#include "platform/Frame.h"

namespace marlinax::media {

class SegmentedJpegEncoder;

// JPEG compression of captured frames: every frame becomes one complete JPEG image at
// the highest quality with full-resolution chroma (4:4:4), independent of every other
// frame. Thread-safe: each thread reuses a compressor of its own, which carries nothing
// from one frame to the next.
struct VEncode {
  // The compressed sample buffer: the frame's times, the JPEG format description for
  // the image's size, and the JPEG bytes. Throws MediaError when the sample buffer has
  // no image, the image is malformed, or the compressor fails.
  static SampleBufferData encode(const platform::SampleBuffer& sample);
  // The same with the JPEG bytes written into `buffer` (its capacity is reused),
  // compressed by a segment-caching encoder (one caller at a time) when given;
  // the sample's damage, if any, is taken as relative to the encoder's last image.
  static SampleBufferData encode(const platform::SampleBuffer& sample, SegmentedJpegEncoder* encoder, Bytes buffer);
};

}  // namespace marlinax::media
