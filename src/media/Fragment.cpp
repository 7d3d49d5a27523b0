#include "media/Fragment.h"

#include "codec/Cod.h"
#include "media/AppleLz4.h"
#include "media/BufferPool.h"
#include "media/MediaError.h"
#include "media/VEncode.h"

namespace marlinax::media {

Fragment Fragment::make(const platform::SampleBuffer& sample) {
  if (!sample.image) throw MediaError("sample buffer carries no image");
  // Keep the image alive for the whole build even if the capture side drops it.
  const std::shared_ptr<const platform::Image> image = sample.image;
  Fragment fragment;
  fragment.storage.mask = std::make_shared<const MaskPlane>(extractAlpha(*image));
  fragment.storage.frame = std::make_shared<const SampleBufferData>(VEncode::encode(sample));
  return fragment;
}

Fragment Fragment::make(const platform::SampleBuffer& sample, SegmentedJpegEncoder* encoder,
                        const std::shared_ptr<BufferPool>& jpegs, const std::shared_ptr<BufferPool>& masks) {
  if (!sample.image) throw MediaError("sample buffer carries no image");
  Fragment fragment;
  if (sample.opaque) {
    checkImage(*sample.image);
    fragment.storage.mask = opaqueMask(sample.image->width, sample.image->height);
  } else {
    auto* mask = new MaskPlane{.bytes = masks->take()};
    fragment.storage.mask = std::shared_ptr<const MaskPlane>(mask, [masks](const MaskPlane* plane) {
      masks->give(std::move(const_cast<MaskPlane*>(plane)->bytes));
      delete plane;
    });
    extractAlphaInto(*sample.image, *mask);
  }
  auto* frame = new SampleBufferData(VEncode::encode(sample, encoder, jpegs->take()));
  fragment.storage.frame = std::shared_ptr<const SampleBufferData>(frame, [jpegs](const SampleBufferData* data) {
    jpegs->give(std::move(const_cast<SampleBufferData*>(data)->data));
    delete data;
  });
  return fragment;
}

Fragment::Pieces Fragment::pieces() const {
  if (!storage.frame) throw MediaError("fragment has no compressed frame");
  if (!storage.mask) throw MediaError("fragment has no mask plane");
  const MaskPlane& mask = *storage.mask;
  if (mask.width < 0 || mask.height < 0 || mask.stride < mask.width)
    throw MediaError("mask plane has an impossible geometry");
  if (mask.bytes.size() != static_cast<std::size_t>(mask.stride) * static_cast<std::size_t>(mask.height))
    throw MediaError("mask plane bytes do not match its geometry");

  const SampleBufferData& frame = *storage.frame;
  Pieces pieces;
  if (!skipMask) pieces.mask = compressAppleLz4(mask.bytes);
  const Bytes head = frame.serializeWithoutData();
  pieces.head.reserve(32 + head.size());
  codec::appendVarint(pieces.head, static_cast<std::uint64_t>(mask.width));
  codec::appendVarint(pieces.head, static_cast<std::uint64_t>(mask.height));
  codec::appendVarint(pieces.head, static_cast<std::uint64_t>(mask.stride));
  if (skipMask) {
    pieces.head.push_back(0x00);
  } else {
    pieces.head.push_back(0x01);
    codec::appendVarint(pieces.head, head.size() + frame.data.size());
    codec::appendVarint(pieces.head, pieces.mask.size());
  }
  pieces.head.insert(pieces.head.end(), head.begin(), head.end());
  pieces.jpeg = frame.data;
  return pieces;
}

Bytes Fragment::serialize() const {
  const Pieces parts = pieces();
  Bytes out;
  out.reserve(parts.head.size() + parts.jpeg.size() + parts.mask.size());
  out.insert(out.end(), parts.head.begin(), parts.head.end());
  out.insert(out.end(), parts.jpeg.begin(), parts.jpeg.end());
  out.insert(out.end(), parts.mask.begin(), parts.mask.end());
  return out;
}

}  // namespace marlinax::media
