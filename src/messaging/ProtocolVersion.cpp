#include "messaging/ProtocolVersion.h"

#include <charconv>
#include <stdexcept>
#include <string_view>

#ifndef MARLINAX_BUILD_NUMBER
#error "MARLINAX_BUILD_NUMBER must be defined by the build"
#endif

#define MARLINAX_STRINGIFY_(x) #x
#define MARLINAX_STRINGIFY(x) MARLINAX_STRINGIFY_(x)

namespace marlinax::messaging {
namespace {

std::int64_t parseBuildNumber() {
  std::string_view text = MARLINAX_STRINGIFY(MARLINAX_BUILD_NUMBER);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value < 0)
    throw std::logic_error("the build number is not a decimal integer: " + std::string(text));
  return value;
}

}  // namespace

std::int64_t protocolVersion() {
  static const std::int64_t version = parseBuildNumber();
  return version;
}

}  // namespace marlinax::messaging
