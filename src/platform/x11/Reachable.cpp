#include "platform/x11/Reachable.h"

#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {

bool displayReachable(const std::string& displayName) {
  try {
    return XDisplay::open(displayName) != nullptr;
  } catch (const XError&) {
    return false;
  }
}

}  // namespace marlinax::platform::x11
