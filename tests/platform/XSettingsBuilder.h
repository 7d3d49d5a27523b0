#pragma once

// Builds _XSETTINGS_SETTINGS property values, as a desktop's settings daemon publishes them.

#include <cstdint>
#include <string>

#include "codec/Bytes.h"

namespace marlinax::platform {

// Builds an _XSETTINGS_SETTINGS value in either byte order.
class XSettingsBuilder {
 public:
  explicit XSettingsBuilder(bool bigEndian) : bigEndian_(bigEndian) {
    bytes_ = {std::uint8_t(bigEndian ? 1 : 0), 0, 0, 0};
    number(7, 4);  // serial
    countAt_ = bytes_.size();
    number(0, 4);
  }

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
  Bytes bytes() const {
    Bytes result = bytes_;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t shift = bigEndian_ ? 8 * (3 - i) : 8 * i;
      result[countAt_ + i] = std::uint8_t(settings_ >> shift);
    }
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
  void number(std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
      bytes_.push_back(std::uint8_t(value >> shift));
    }
  }

  bool bigEndian_;
  Bytes bytes_;
  std::size_t countAt_ = 0;
  std::uint32_t settings_ = 0;
};

}  // namespace marlinax::platform
