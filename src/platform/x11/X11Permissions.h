#pragma once

// What "permission" means on an X server: there is no per-program grant, so
// the program may capture when the display can be reached and offers what the
// capture service needs (RandR 1.5 monitors, MIT-SHM images), and may post
// input when the display offers the XTEST extension. Each probe opens its own
// short-lived connection, so the answer follows the server as it is now.

#include <memory>
#include <string>

#include "platform/Permissions.h"

namespace marlinax::platform::x11 {

// `displayName` empty: $DISPLAY. Never throw; an unreachable display is false.
bool probeScreenRecording(const std::string& displayName = {});
bool probeInput(const std::string& displayName = {});

std::shared_ptr<PermissionProbe> makePermissionProbe(const std::string& displayName = {});

}  // namespace marlinax::platform::x11
