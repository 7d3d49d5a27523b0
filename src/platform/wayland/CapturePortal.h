#pragma once

// Screen capture through the desktop's screen-cast portal, for desktops without
// mutter's interfaces (KDE Plasma, others) and sandboxed installs. One portal
// session serves every cast: its streams are the displays. The first session
// shows the desktop's dialog, where the user picks the monitors to share; the
// restore token it returns is kept so that later runs start without asking.

#include <memory>

#include "platform/CaptureService.h"
#include "platform/wayland/ScreenCastPortal.h"

namespace marlinax::platform::wayland {

class Bus;

// Whether a restore token is kept (a cast can start without asking).
bool hasStoredScreenCastToken();

// The permission request behind the application's "Open Settings" for screen
// recording: starts a cast through the portal, which shows the desktop's dialog
// unless a kept token restores the choice, keeps the new token and ends the
// cast. False when the user cancelled or the portal is missing; waits for the
// user up to `timeout`.
bool requestScreenCastPermission(std::shared_ptr<Bus> bus, std::optional<RestoreTokenStore> store = std::nullopt,
                                 std::chrono::milliseconds timeout = std::chrono::minutes(5));

// `store`: where the token is kept (restoreTokenPath of the environment when
// absent). The portal session starts on first use. Throws CaptureError when the
// portal is not on the bus.
std::shared_ptr<CaptureService> makePortalCaptureService(std::shared_ptr<Bus> bus,
                                                         std::optional<RestoreTokenStore> store = std::nullopt);

}  // namespace marlinax::platform::wayland
