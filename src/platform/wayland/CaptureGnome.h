#pragma once

// Screen capture in a GNOME Wayland session through mutter's D-Bus interfaces:
// the displays are DisplayConfig's logical monitors, each cast is a screen-cast
// session of mutter recording one monitor with the pointer drawn in, received
// through PipeWire and scaled to the configured size.

#include <memory>

#include "platform/CaptureService.h"

namespace marlinax::platform::wayland {

class Bus;

// Throws CaptureError when mutter's screen cast is not on the bus.
std::shared_ptr<CaptureService> makeGnomeCaptureService(std::shared_ptr<Bus> bus);

}  // namespace marlinax::platform::wayland
