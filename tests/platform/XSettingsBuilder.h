#pragma once

// Builds _XSETTINGS_SETTINGS property values, as a desktop's settings daemon publishes them.

#include <cstdint>
#include <string>

#include "codec/Bytes.h"

namespace marlinax::platform {

// Builds an _XSETTINGS_SETTINGS value in either byte order.
class XSettingsBuilder {
 public:
  explicit XSettingsBuilder(bool bigEndian) : bigEndian_(bigEndian) {}

  XSettingsBuilder& integer(const std::string& name, std::int32_t value) {
    header(0, name);
    number(static_cast<std::uint32_t>(value), 4);
    return *this;
  }
  XSettingsBuilder& string(const std::string& name, const std::string& value) {
    header(1, name);
    number(static_cast<std::uint32_t>(value.size()), 4);
    padded(value);
    return *this;
  }
  XSettingsBuilder& color(const std::string& name) {
    header(2, name);
    for (int i = 0; i < 4; ++i) number(0xFFFF, 2);
    return *this;
  }
  // The byte order, a serial and the count of settings, then the settings.
  Bytes bytes() const {
    Bytes result{std::uint8_t(bigEndian_ ? 1 : 0), 0, 0, 0};
    number(7, 4, result);
    number(settings_, 4, result);
    result.insert(result.end(), bytes_.begin(), bytes_.end());
    return result;
  }

 private:
  void header(std::uint8_t type, const std::string& name) {
    ++settings_;
    bytes_.push_back(type);
    bytes_.push_back(0);
    number(static_cast<std::uint32_t>(name.size()), 2);
    padded(name);
    number(3, 4);  // last-change serial
  }
  void padded(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }
  void number(std::uint32_t value, int width) { number(value, width, bytes_); }
  void number(std::uint32_t value, int width, Bytes& out) const {
    for (int i = 0; i < width; ++i) out.push_back(std::uint8_t(value >> (bigEndian_ ? 8 * (width - 1 - i) : 8 * i)));
  }

  bool bigEndian_;
  Bytes bytes_;  // the settings
  std::uint32_t settings_ = 0;
};

}  // namespace marlinax::platform
