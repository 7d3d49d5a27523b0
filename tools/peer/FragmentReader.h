#pragma once

// Reads the byte form of a fragment as the headset receives it (in frame
// requests and preview replies): the mask header, then either the sample
// buffer alone or a two-piece pack of the sample buffer and the LZ4-stream
// compressed mask.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "codec/Bytes.h"

namespace marlinax::peer {

class FragmentFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ReadTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
};

struct ReadFormatDescription {
  std::uint32_t mediaSubtype = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  // Extension key -> binary property list bytes.
  std::map<std::string, Bytes> extensions;
};

struct ReadSampleBuffer {
  ReadTime duration;
  ReadTime presentationTime;
  ReadTime decodeTime;
  ReadFormatDescription formatDescription;
  Bytes data;  // the JPEG image
};

struct ReadFragment {
  std::uint64_t maskWidth = 0;
  std::uint64_t maskHeight = 0;
  std::uint64_t maskStride = 0;
  bool hasMask = false;
  ReadSampleBuffer sampleBuffer;
  Bytes compressedMask;  // empty when hasMask is false
};

// Throws FragmentFormatError (or codec::ProducerError for the extensions) on
// malformed input.
ReadFragment readFragment(ByteView bytes);

// The mask plane, stride x height bytes. Throws when there is no mask or when
// it does not decompress to exactly that size.
Bytes decompressMask(const ReadFragment& fragment);

}  // namespace marlinax::peer
