#pragma once

// JPEG frames whose cost follows what changed on the screen.
//
// Every frame is a complete baseline JPEG (quality 100, full-resolution chroma,
// the standard Huffman tables) whose entropy-coded data is cut by restart
// markers into segments: each segment is a fixed rectangle of the image, one
// 8-pixel MCU row high and a fixed number of MCUs wide. A segment's bytes depend
// only on its own pixels (the DC predictions restart at every marker, and the
// tables never change), so the encoder keeps the bytes of every segment of the
// previous frame and compresses again only the segments whose pixels changed.
// A frame is then the header, the segments in order with their restart markers
// (numbered by position, 0 to 7 cyclically) and the end marker — exactly the
// bytes a full compression with the same restart interval gives.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/Bytes.h"
#include "platform/Frame.h"

namespace marlinax::media {

using PixelRect = platform::ImageRect;

// How a frame of a given width is cut into segments.
struct SegmentLayout {
  int width = 0;
  int height = 0;
  int mcusPerRow = 0;      // 8-pixel columns, the last one padded
  int mcuRows = 0;         // 8-pixel rows, the last one padded
  int segmentsPerRow = 0;  // divides mcusPerRow
  int mcusPerSegment = 0;  // the restart interval

  // Cuts each MCU row into the largest number of equal segments that is at
  // most `wantedPerRow` (at least one).
  static SegmentLayout forImage(int width, int height, int wantedPerRow);
  int segmentCount() const { return mcuRows * segmentsPerRow; }
  // The pixels segment `index` covers (clipped to the image).
  PixelRect segmentRect(int index) const;
  bool operator==(const SegmentLayout&) const = default;
};

class SegmentedJpegEncoder {
 public:
  // How many segments each 8-pixel row of the image is cut into, at most:
  // more segments mean less work for a small change and slightly larger frames.
  explicit SegmentedJpegEncoder(int segmentsPerRow = 12);
  ~SegmentedJpegEncoder();
  SegmentedJpegEncoder(const SegmentedJpegEncoder&) = delete;
  SegmentedJpegEncoder& operator=(const SegmentedJpegEncoder&) = delete;

  // Compresses a BGRX image (the fourth byte is ignored). `damage`, when
  // given, lists every area that may differ from the image of the previous
  // call; without it any pixel may have changed. Only segments that meet the
  // damage are compared with the previous image, and only those that differ
  // are compressed again. The first image, and any image of another size,
  // is compressed whole. The encoder keeps the image until the next call (to
  // compare with), so its pixels must not change meanwhile: a capture pool
  // sees it as still in use. Returns the complete JPEG; the reference stays
  // valid until the next call. Throws MediaError.
  const Bytes& encode(std::shared_ptr<const platform::Image> image,
                      std::optional<std::span<const PixelRect>> damage = std::nullopt);
  // The same, with the JPEG written into `out` (its capacity is reused).
  void encodeInto(Bytes& out, std::shared_ptr<const platform::Image> image,
                  std::optional<std::span<const PixelRect>> damage = std::nullopt);

  // Segments compressed by the last encode, of how many.
  int segmentsEncoded() const { return segmentsEncoded_; }
  const SegmentLayout& layout() const { return layout_; }

  // One whole compression with the same settings and restart interval, no
  // cache: the reference the segments must reproduce, and the plain path when
  // the cache is switched off. Throws MediaError.
  static Bytes encodeWhole(const platform::Image& image, int segmentsPerRow);

 private:
  struct Compressor;

  void encodeAll(const platform::Image& image);
  // Compresses `count` consecutive segments from `first` (part of one row, or
  // whole rows) in one go; returns where the scan data began in the
  // compressor's buffer.
  std::size_t encodeRun(const platform::Image& image, int first, int count);
  void assemble(Bytes& out) const;

  int segmentsPerRow_;
  std::unique_ptr<Compressor> compressor_;
  SegmentLayout layout_;
  Bytes header_;                 // SOI up to the end of the scan header
  std::vector<Bytes> segments_;  // entropy-coded bytes, no markers
  std::shared_ptr<const platform::Image> previous_;
  std::vector<char> touched_;  // per segment, scratch
  Bytes output_;
  int segmentsEncoded_ = 0;
};

}  // namespace marlinax::media
