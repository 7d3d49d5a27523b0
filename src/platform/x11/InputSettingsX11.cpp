#include "platform/x11/InputSettingsX11.h"

#include <string>

#include <X11/Xatom.h>

namespace marlinax::platform::x11 {

namespace {

// Reads the numbers of an XSETTINGS value in the byte order its header declares, never past
// its end.
class SettingsReader {
 public:
  SettingsReader(ByteView data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}

  bool skip(std::size_t count) {
    if (count > data_.size() - offset_) return false;
    offset_ += count;
    return true;
  }

  // Skips `count` bytes and the padding that rounds them up to a multiple of four.
  bool skipPadded(std::uint64_t count) {
    const std::uint64_t padded = (count + 3) & ~std::uint64_t{3};
    if (padded > data_.size() - offset_) return false;
    offset_ += static_cast<std::size_t>(padded);
    return true;
  }

  std::optional<std::uint32_t> number(std::size_t width) {
    if (width > data_.size() - offset_) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t index = bigEndian_ ? i : width - 1 - i;
      value = (value << 8) | data_[offset_ + index];
    }
    offset_ += width;
    return value;
  }

  std::optional<std::string_view> text(std::size_t length) {
    if (length > data_.size() - offset_) return std::nullopt;
    std::string_view result(reinterpret_cast<const char*>(data_.data()) + offset_, length);
    return result;
  }

 private:
  ByteView data_;
  bool bigEndian_;
  std::size_t offset_ = 0;
};

enum SettingType : std::uint8_t { integerSetting = 0, stringSetting = 1, colorSetting = 2 };

}  // namespace

std::optional<std::int32_t> xsettingsInteger(ByteView settings, std::string_view name) {
  if (settings.empty() || settings[0] > 1) return std::nullopt;
  // Byte 0 is the X byte-order constant: LSBFirst (0) or MSBFirst (1).
  SettingsReader reader(settings, settings[0] == MSBFirst);
  if (!reader.skip(4) || !reader.number(4)) return std::nullopt;  // byte order, pad, serial
  const auto count = reader.number(4);
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto type = reader.number(1);
    if (!type || !reader.skip(1)) return std::nullopt;
    const auto nameLength = reader.number(2);
    if (!nameLength) return std::nullopt;
    const auto settingName = reader.text(*nameLength);
    if (!settingName || !reader.skipPadded(*nameLength)) return std::nullopt;
    if (!reader.number(4)) return std::nullopt;  // serial of the last change
    switch (*type) {
    case integerSetting: {
      const auto value = reader.number(4);
      if (!value) return std::nullopt;
      if (*settingName == name) return static_cast<std::int32_t>(*value);
      break;
    }
    case stringSetting: {
      const auto length = reader.number(4);
      if (!length || !reader.skipPadded(*length)) return std::nullopt;
      break;
    }
    case colorSetting:
      if (!reader.skip(8)) return std::nullopt;
      break;
    default:
      // An unknown type has an unknown size: nothing after it can be read.
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::chrono::nanoseconds desktopDoubleClickInterval(Display* display) {
  const std::string selectionName = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
  const Atom selection = XInternAtom(display, selectionName.c_str(), False);
  const Window owner = XGetSelectionOwner(display, selection);
  if (owner == None) return kDefaultDoubleClickInterval;

  const Atom property = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long remaining = 0;
  unsigned char* value = nullptr;
  // At most 1 MiB (the length is counted in 32-bit units); real settings are a few KiB.
  const int status = XGetWindowProperty(display, owner, property, 0, 256 * 1024, False, property, &type, &format,
                                        &items, &remaining, &value);
  std::optional<std::int32_t> milliseconds;
  if (status == Success && value != nullptr && type == property && format == 8) {
    milliseconds = xsettingsInteger(ByteView(value, items), "Net/DoubleClickTime");
  }
  if (value != nullptr) XFree(value);
  if (!milliseconds || *milliseconds <= 0) return kDefaultDoubleClickInterval;
  return std::chrono::milliseconds(*milliseconds);
}

}  // namespace marlinax::platform::x11
