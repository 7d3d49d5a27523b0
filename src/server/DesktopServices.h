#pragma once

// The platform services of the desktop session this program runs in: the
// display backend (X11, GNOME's mutter, or the portals) chosen from the
// session or named by the user, and the capture, input and virtual-display
// services it offers. Both programs serve headsets with them: marlinax-server
// and the marlinax application.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Backend.h"
#include "server/ProtocolImplementation.h"

namespace marlinax::platform {
class PermissionProbe;
class VirtualDisplayService;
}  // namespace marlinax::platform

namespace marlinax::server {

struct DesktopServices {
  // What the headset's requests work with; empty members where the backend
  // offers nothing (requests that need them get no reply).
  Services services;
  // None where the backend cannot make virtual displays (the portals).
  std::shared_ptr<platform::VirtualDisplayService> virtualDisplays;
  // Whether the backend lets this program see the screen and post input,
  // for the application's permissions sheet.
  std::shared_ptr<platform::PermissionProbe> permissions;
  std::optional<platform::Backend> backend;
};

// Chooses the backend and makes its services. `announce` receives the one
// line that says which backend was chosen and why ("Display backend: x11
// (...)."); what is not available is logged as warnings.
DesktopServices makeDesktopServices(std::optional<platform::Backend> requested,
                                    const std::function<void(const std::string&)>& announce);

}  // namespace marlinax::server
