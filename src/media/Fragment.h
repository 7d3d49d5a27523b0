#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "codec/Bytes.h"
#include "media/MaskPlane.h"
#include "media/SampleBufferData.h"
#include "platform/Frame.h"

namespace marlinax::media {

class BufferPool;
class SegmentedJpegEncoder;

using Sha256Digest = std::array<std::uint8_t, 32>;

// One captured frame on its way to the headset: the JPEG-compressed frame and its alpha
// mask plane. A value: copies share the (immutable) frame and mask.
struct Fragment {
  // The encoded form, the only one this computer makes (the headset's decoded forms
  // never exist here).
  struct Storage {
    std::shared_ptr<const SampleBufferData> frame;
    std::shared_ptr<const MaskPlane> mask;
  };

  Storage storage;
  // Set by Masks once the headset has confirmed this mask: the byte form then leaves
  // the mask out.
  bool skipMask = false;
  // Not set on this side and not part of the byte form.
  std::optional<Sha256Digest> maskHash;

  // Extracts the alpha channel into the mask plane and compresses the frame as an
  // independent JPEG image. Safe to call from several threads at once. Throws MediaError
  // (no image, malformed image, compressor failure).
  static Fragment make(const platform::SampleBuffer& sample);
  // The same for casting: the JPEG bytes and the mask plane lie in buffers taken
  // from `jpegs` and `masks`, which get them back when the fragment's last copy
  // goes. With an `encoder` the frame is compressed by it, reusing the
  // unchanged segments of the display's previous frame (the bytes are those of
  // a whole compression with the encoder's restart interval); the encoder is
  // not thread-safe: one caller at a time.
  static Fragment make(const platform::SampleBuffer& sample, SegmentedJpegEncoder* encoder,
                       const std::shared_ptr<BufferPool>& jpegs, const std::shared_ptr<BufferPool>& masks);

  // The byte form in three pieces for a gather write: everything before the
  // JPEG bytes, the JPEG bytes themselves (a view into this fragment's frame,
  // valid while the fragment is) and the compressed mask (empty when skipped).
  struct Pieces {
    Bytes head;
    ByteView jpeg;
    Bytes mask;
  };
  Pieces pieces() const;

  // Mask width, height and row stride as varints, then 0x01 and a two-piece pack (the
  // sample buffer's byte form and the LZ4-stream-compressed mask plane), or 0x00 and the
  // sample buffer's byte form alone when skipMask is set: the pieces joined.
  // Throws MediaError.
  Bytes serialize() const;
};

}  // namespace marlinax::media
