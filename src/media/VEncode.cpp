#include "media/VEncode.h"

#include <climits>
#include <string>

#include <turbojpeg.h>

#include "media/MaskPlane.h"
#include "media/MediaError.h"
#include "media/SegmentedJpeg.h"

namespace marlinax::media {
namespace {

constexpr int kQuality = 100;

// One TurboJPEG compressor and output buffer per thread. Reusing them saves the
// per-frame set-up; no compression state survives from one frame to the next.
class Compressor {
 public:
  Compressor() : handle_(tjInitCompress()) {}
  ~Compressor() {
    if (buffer_) tjFree(buffer_);
    if (handle_) tjDestroy(handle_);
  }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  Bytes compress(const platform::Image& image) {
    Bytes out;
    compressInto(image, out);
    return out;
  }

  void compressInto(const platform::Image& image, Bytes& out) {
    if (!handle_) throw MediaError("cannot create a JPEG compressor");
    // The worst case for this size, so the compressor never reallocates the buffer
    // (noisy content at quality 100 can exceed the raw frame size).
    const unsigned long needed = tjBufSize(image.width, image.height, TJSAMP_444);
    if (needed == static_cast<unsigned long>(-1) || needed > static_cast<unsigned long>(INT_MAX))
      throw MediaError("image size has no JPEG buffer size");
    if (needed > capacity_) {
      if (buffer_) tjFree(buffer_);
      buffer_ = tjAlloc(static_cast<int>(needed));
      capacity_ = buffer_ ? needed : 0;
      if (!buffer_) throw MediaError("cannot allocate the JPEG buffer");
    }
    unsigned long size = capacity_;
    // BGRX: the fourth byte is alpha, which travels in the mask plane instead.
    if (tjCompress2(handle_, image.pixels.data(), image.width, image.stride, image.height, TJPF_BGRX, &buffer_, &size,
                    TJSAMP_444, kQuality, TJFLAG_NOREALLOC) != 0)
      throw MediaError(std::string("JPEG compression failed: ") + tjGetErrorStr2(handle_));
    out.assign(buffer_, buffer_ + size);
  }

 private:
  tjhandle handle_;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

}  // namespace

namespace {

// Times and the (per-size, shared) format description around compressed bytes.
SampleBufferData wrap(const platform::SampleBuffer& sample, Bytes data) {
  const platform::Image& image = *sample.image;
  SampleBufferData result;
  result.data = std::move(data);
  result.duration = sample.duration;
  result.presentationTime = sample.presentationTime;
  result.decodeTime = platform::MediaTime::invalid();
  // Frames of one stream share their size, so the description is made once per size.
  thread_local std::shared_ptr<const FormatDescription> description;
  if (!description || description->width != image.width || description->height != image.height)
    description = FormatDescription::jpeg(image.width, image.height);
  result.formatDescription = description;
  return result;
}

}  // namespace

SampleBufferData VEncode::encode(const platform::SampleBuffer& sample) {
  if (!sample.image) throw MediaError("sample buffer carries no image");
  checkImage(*sample.image);
  thread_local Compressor compressor;
  return wrap(sample, compressor.compress(*sample.image));
}

SampleBufferData VEncode::encode(const platform::SampleBuffer& sample, SegmentedJpegEncoder* encoder, Bytes buffer) {
  if (!sample.image) throw MediaError("sample buffer carries no image");
  checkImage(*sample.image);
  if (encoder) {
    if (sample.damage)
      encoder->encodeInto(buffer, sample.image, std::span<const PixelRect>(*sample.damage));
    else
      encoder->encodeInto(buffer, sample.image);
  } else {
    thread_local Compressor compressor;
    compressor.compressInto(*sample.image, buffer);
  }
  return wrap(sample, std::move(buffer));
}

}  // namespace marlinax::media
