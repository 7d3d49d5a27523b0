#pragma once

#include <string>

namespace marlinax::platform::x11 {

// Whether an X server accepts a connection at `displayName` (empty: $DISPLAY).
// Lets a program refuse a display the user named before it starts serving.
bool displayReachable(const std::string& displayName);

}  // namespace marlinax::platform::x11
