#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "codec/Bytes.h"
#include "platform/Frame.h"

namespace marlinax::media {

// Four-character code of JPEG images, as an unsigned 32-bit number.
inline constexpr std::uint32_t kJpegSubtype = 0x6A706567;  // 'jpeg'

// A time as the headset reads it: its value, then its timescale, both varints.
// The invalid time (0, 0) is 00 00. Negative values or timescales have no varint form
// and throw MediaError.
void appendTime(Bytes& out, const platform::MediaTime& time);
Bytes serialize(const platform::MediaTime& time);

// A value that the headset reads back from a binary property list.
using PropertyValue = std::variant<std::string, std::int64_t, double, bool, Bytes>;

// The binary property list (bplist00) of one value. Throws MediaError when the value has
// no property-list form (a string that is not UTF-8).
Bytes binaryPropertyList(const PropertyValue& value);

// What the headset needs to set up its decoder for the compressed frames.
struct FormatDescription {
  std::uint32_t mediaSubtype = kJpegSubtype;
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Keyed by the headset's format-description extension keys.
  std::map<std::string, PropertyValue> extensions;

  // The description of the JPEG frames this computer sends (see the .cpp for the
  // extensions it carries).
  static std::shared_ptr<const FormatDescription> jpeg(int width, int height);

  // Media subtype, width and height as varints, then the Cod encoding of a record from
  // each extension key to the binary property list of its value. Throws MediaError
  // (negative size, a value without property-list form).
  Bytes serialize() const;
};

// One compressed frame with its times: what the headset turns back into an image.
struct SampleBufferData {
  platform::MediaTime duration;
  platform::MediaTime presentationTime;
  // Every frame is an independent image, so frames carry no decode time.
  platform::MediaTime decodeTime = platform::MediaTime::invalid();
  std::shared_ptr<const FormatDescription> formatDescription;
  Bytes data;  // the JPEG image

  // A pack of five pieces: the lengths of duration, presentation time, decode time,
  // format description and data as varints, then the five pieces. Throws MediaError
  // (bad times, no format description, no data).
  Bytes serialize() const;

  // serialize() without its final piece: the data bytes follow it directly. Lets a
  // caller write the (large) data once, straight into its own buffer.
  Bytes serializeWithoutData() const;
};

}  // namespace marlinax::media
