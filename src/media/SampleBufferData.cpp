#include "media/SampleBufferData.h"

#include <exception>

#include <plist/plist.h>

#include "codec/Cod.h"
#include "media/MediaError.h"

namespace marlinax::media {
namespace {

struct PlistNode {
  plist_t node;
  ~PlistNode() {
    if (node) plist_free(node);
  }
};

struct PlistBuffer {
  char* bytes = nullptr;
  ~PlistBuffer() {
    if (bytes) plist_to_bin_free(bytes);
  }
};

void checkTime(const platform::MediaTime& time) {
  if (time.value < 0 || time.timescale < 0) throw MediaError("a negative time has no byte form");
}

void appendPieces(Bytes& out, std::initializer_list<const Bytes*> pieces, std::size_t trailingLength) {
  for (const Bytes* piece : pieces) codec::appendVarint(out, piece->size());
  codec::appendVarint(out, trailingLength);
  for (const Bytes* piece : pieces) out.insert(out.end(), piece->begin(), piece->end());
}

}  // namespace

void appendTime(Bytes& out, const platform::MediaTime& time) {
  checkTime(time);
  codec::appendVarint(out, static_cast<std::uint64_t>(time.value));
  codec::appendVarint(out, static_cast<std::uint64_t>(time.timescale));
}

Bytes serialize(const platform::MediaTime& time) {
  Bytes out;
  appendTime(out, time);
  return out;
}

Bytes binaryPropertyList(const PropertyValue& value) {
  PlistNode node{nullptr};
  if (const auto* text = std::get_if<std::string>(&value)) {
    const ByteView utf8(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    if (!codec::isValidUtf8(utf8)) throw MediaError("extension string is not UTF-8");
    // plist strings end at the first NUL; such a value would not survive the trip.
    if (text->find('\0') != std::string::npos) throw MediaError("extension string contains NUL");
    node.node = plist_new_string(text->c_str());
  } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    // Binary property lists store 8-byte integers as signed, so the bit pattern
    // round-trips negative values.
    node.node = plist_new_uint(static_cast<std::uint64_t>(*integer));
  } else if (const auto* real = std::get_if<double>(&value)) {
    node.node = plist_new_real(*real);
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    node.node = plist_new_bool(*flag ? 1 : 0);
  } else {
    const auto& data = std::get<Bytes>(value);
    node.node = plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
  }
  if (!node.node) throw MediaError("cannot make a property list of an extension value");

  PlistBuffer buffer;
  std::uint32_t length = 0;
  plist_to_bin(node.node, &buffer.bytes, &length);
  if (!buffer.bytes || length == 0) throw MediaError("cannot write an extension value as a property list");
  const auto* begin = reinterpret_cast<const std::uint8_t*>(buffer.bytes);
  return Bytes(begin, begin + length);
}

std::shared_ptr<const FormatDescription> FormatDescription::jpeg(int width, int height) {
  auto description = std::make_shared<FormatDescription>();
  description->mediaSubtype = kJpegSubtype;
  description->width = width;
  description->height = height;
  // The frames are X11 desktop pixels, which are sRGB. The description says so with the
  // three colour tags the headset's image pipeline understands: sRGB's primaries are
  // those of BT.709, its transfer function is sRGB's own, and JPEG's YCbCr uses the
  // BT.601 matrix. Nothing else is carried: the headset's JPEG decoder reads size and
  // sampling from the image itself, and encoder names or quality hints change nothing
  // there.
  description->extensions = {
      {"CVImageBufferColorPrimaries", std::string("ITU_R_709_2")},
      {"CVImageBufferTransferFunction", std::string("IEC_sRGB")},
      {"CVImageBufferYCbCrMatrix", std::string("ITU_R_601_4")},
  };
  return description;
}

Bytes FormatDescription::serialize() const {
  if (width < 0 || height < 0) throw MediaError("a negative image size has no byte form");
  std::map<std::string, Bytes> record;
  for (const auto& [key, value] : extensions) record.emplace(key, binaryPropertyList(value));
  Bytes encoded;
  try {
    encoded = codec::CodEncoder().encode(record);
  } catch (const std::exception& error) {
    throw MediaError(std::string("cannot encode format-description extensions: ") + error.what());
  }

  Bytes out;
  out.reserve(12 + encoded.size());
  codec::appendVarint(out, mediaSubtype);
  codec::appendVarint(out, static_cast<std::uint64_t>(width));
  codec::appendVarint(out, static_cast<std::uint64_t>(height));
  out.insert(out.end(), encoded.begin(), encoded.end());
  return out;
}

Bytes SampleBufferData::serializeWithoutData() const {
  if (!formatDescription) throw MediaError("sample buffer has no format description");
  if (data.empty()) throw MediaError("sample buffer has no data");
  const Bytes durationBytes = media::serialize(duration);
  const Bytes presentationBytes = media::serialize(presentationTime);
  const Bytes decodeBytes = media::serialize(decodeTime);
  const Bytes descriptionBytes = formatDescription->serialize();
  Bytes out;
  out.reserve(5 * 10 + durationBytes.size() + presentationBytes.size() + decodeBytes.size() + descriptionBytes.size());
  appendPieces(out, {&durationBytes, &presentationBytes, &decodeBytes, &descriptionBytes}, data.size());
  return out;
}

Bytes SampleBufferData::serialize() const {
  Bytes out = serializeWithoutData();
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace marlinax::media
