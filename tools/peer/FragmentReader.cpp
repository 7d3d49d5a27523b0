#include "peer/FragmentReader.h"

#include <limits>

#include "codec/Cod.h"
#include "media/AppleLz4.h"

namespace marlinax::peer {
namespace {

class Reader {
 public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  std::uint64_t varint() {
    try {
      return codec::readVarint(bytes_, offset_);
    } catch (const std::exception&) {
      throw FragmentFormatError("fragment: truncated varint");
    }
  }

  std::uint8_t byte() {
    if (offset_ >= bytes_.size()) throw FragmentFormatError("fragment: truncated");
    return bytes_[offset_++];
  }

  ByteView take(std::uint64_t length) {
    if (length > bytes_.size() - offset_) throw FragmentFormatError("fragment: a piece runs past the end");
    ByteView piece = bytes_.subspan(offset_, static_cast<std::size_t>(length));
    offset_ += static_cast<std::size_t>(length);
    return piece;
  }

  ByteView rest() { return take(bytes_.size() - offset_); }
  bool atEnd() const { return offset_ == bytes_.size(); }

 private:
  ByteView bytes_;
  std::size_t offset_ = 0;
};

ReadTime readTime(ByteView piece) {
  Reader reader(piece);
  ReadTime time;
  std::uint64_t value = reader.varint();
  std::uint64_t timescale = reader.varint();
  if (timescale > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
    throw FragmentFormatError("fragment: timescale out of range");
  time.value = static_cast<std::int64_t>(value);
  time.timescale = static_cast<std::int32_t>(timescale);
  return time;
}

ReadFormatDescription readFormatDescription(ByteView piece) {
  Reader reader(piece);
  ReadFormatDescription description;
  std::uint64_t subtype = reader.varint();
  if (subtype > std::numeric_limits<std::uint32_t>::max())
    throw FragmentFormatError("fragment: media subtype out of range");
  description.mediaSubtype = static_cast<std::uint32_t>(subtype);
  description.width = reader.varint();
  description.height = reader.varint();
  codec::CodDecoder decoder;
  description.extensions = decoder.decode<std::map<std::string, Bytes>>(reader.rest());
  return description;
}

ReadSampleBuffer readSampleBuffer(ByteView bytes) {
  Reader reader(bytes);
  std::uint64_t lengths[5];
  for (auto& length : lengths) length = reader.varint();
  ByteView pieces[5];
  for (int i = 0; i < 5; ++i) pieces[i] = reader.take(lengths[i]);
  ReadSampleBuffer sample;
  sample.duration = readTime(pieces[0]);
  sample.presentationTime = readTime(pieces[1]);
  sample.decodeTime = readTime(pieces[2]);
  sample.formatDescription = readFormatDescription(pieces[3]);
  sample.data.assign(pieces[4].begin(), pieces[4].end());
  return sample;
}

}  // namespace

ReadFragment readFragment(ByteView bytes) {
  Reader reader(bytes);
  ReadFragment fragment;
  fragment.maskWidth = reader.varint();
  fragment.maskHeight = reader.varint();
  fragment.maskStride = reader.varint();
  std::uint8_t hasMask = reader.byte();
  if (hasMask > 1) throw FragmentFormatError("fragment: has-mask byte is neither 00 nor 01");
  fragment.hasMask = hasMask == 1;
  if (!fragment.hasMask) {
    fragment.sampleBuffer = readSampleBuffer(reader.rest());
    return fragment;
  }
  std::uint64_t sampleLength = reader.varint();
  std::uint64_t maskLength = reader.varint();
  ByteView sample = reader.take(sampleLength);
  ByteView mask = reader.take(maskLength);
  fragment.sampleBuffer = readSampleBuffer(sample);
  fragment.compressedMask.assign(mask.begin(), mask.end());
  return fragment;
}

Bytes decompressMask(const ReadFragment& fragment) {
  if (!fragment.hasMask) throw FragmentFormatError("fragment: the mask was left out");
  if (fragment.maskStride < fragment.maskWidth) throw FragmentFormatError("fragment: mask stride below its width");
  if (fragment.maskHeight != 0 && fragment.maskStride > (std::uint64_t{1} << 32) / fragment.maskHeight)
    throw FragmentFormatError("fragment: mask too large");
  std::size_t expected = static_cast<std::size_t>(fragment.maskStride * fragment.maskHeight);
  Bytes plane = media::decompressAppleLz4(fragment.compressedMask, expected);
  if (plane.size() != expected) throw FragmentFormatError("fragment: the mask does not have stride x height bytes");
  return plane;
}

}  // namespace marlinax::peer
