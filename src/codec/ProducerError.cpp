#include "codec/ProducerError.h"

namespace marlinax::codec {

const char* toString(ProducerError::Kind kind) noexcept {
  switch (kind) {
  case ProducerError::Kind::invalidMetadata: return "invalidMetadata";
  case ProducerError::Kind::invalidShapeID: return "invalidShapeID";
  case ProducerError::Kind::invalidBool: return "invalidBool";
  case ProducerError::Kind::invalidUTF8: return "invalidUTF8";
  case ProducerError::Kind::truncated: return "truncated";
  case ProducerError::Kind::duplicateKeys: return "duplicateKeys";
  case ProducerError::Kind::unknownKey: return "unknownKey";
  case ProducerError::Kind::invalidOptional: return "invalidOptional";
  }
  return "ProducerError";
}

const char* ProducerError::what() const noexcept { return toString(kind_); }

}  // namespace marlinax::codec
