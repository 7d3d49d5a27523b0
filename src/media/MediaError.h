#pragma once

#include <stdexcept>
#include <string>

namespace marlinax::media {

// A frame that cannot be built, encoded or serialized, or a compressed stream that
// cannot be read. Thrown, never fatal: the caller drops the frame or fails the request.
class MediaError : public std::runtime_error {
 public:
  explicit MediaError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace marlinax::media
