#include "transport/TransportError.h"

#include <string>

namespace marlinax::transport {
namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "marlinax.transport"; }
  std::string message(int value) const override {
    switch (static_cast<TransportError>(value)) {
    case TransportError::messageTooLarge: return "announced message length exceeds the limit";
    case TransportError::messageTruncated: return "connection ended in the middle of a message";
    case TransportError::closedBeforeReady: return "connection closed before it was ready";
    case TransportError::closed: return "connection closed";
    case TransportError::messageStalled: return "a message stayed incomplete for too long";
    }
    return "unknown transport error";
  }
};

}  // namespace

const std::error_category& transportCategory() {
  static const Category category;
  return category;
}

}  // namespace marlinax::transport
