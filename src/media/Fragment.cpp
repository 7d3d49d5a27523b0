#include "media/Fragment.h"

#include "codec/Cod.h"
#include "media/AppleLz4.h"
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

Fragment Fragment::make(const platform::SampleBuffer& sample, SegmentedJpegEncoder& encoder) {
  if (!sample.image) throw MediaError("sample buffer carries no image");
  Fragment fragment;
  fragment.storage.mask = std::make_shared<const MaskPlane>(extractAlpha(*sample.image));
  fragment.storage.frame = std::make_shared<const SampleBufferData>(VEncode::encode(sample, encoder));
  return fragment;
}

Bytes Fragment::serialize() const {
  if (!storage.frame) throw MediaError("fragment has no compressed frame");
  if (!storage.mask) throw MediaError("fragment has no mask plane");
  const MaskPlane& mask = *storage.mask;
  if (mask.width < 0 || mask.height < 0 || mask.stride < mask.width)
    throw MediaError("mask plane has an impossible geometry");
  if (mask.bytes.size() != static_cast<std::size_t>(mask.stride) * static_cast<std::size_t>(mask.height))
    throw MediaError("mask plane bytes do not match its geometry");

  const SampleBufferData& frame = *storage.frame;
  const Bytes head = frame.serializeWithoutData();
  const std::size_t frameLength = head.size() + frame.data.size();

  Bytes compressedMask;
  if (!skipMask) compressedMask = compressAppleLz4(mask.bytes);

  Bytes out;
  out.reserve(32 + frameLength + compressedMask.size());
  codec::appendVarint(out, static_cast<std::uint64_t>(mask.width));
  codec::appendVarint(out, static_cast<std::uint64_t>(mask.height));
  codec::appendVarint(out, static_cast<std::uint64_t>(mask.stride));
  if (skipMask) {
    out.push_back(0x00);
  } else {
    out.push_back(0x01);
    codec::appendVarint(out, frameLength);
    codec::appendVarint(out, compressedMask.size());
  }
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), frame.data.begin(), frame.data.end());
  out.insert(out.end(), compressedMask.begin(), compressedMask.end());
  return out;
}

}  // namespace marlinax::media
