#pragma once

// Virtual displays in a GNOME Wayland session: a screen-cast session of mutter
// recording a virtual monitor. Mutter makes the monitor once a consumer has
// agreed a format with the stream, of the size the consumer asks for, and
// removes it when the session stops, or when this process's bus connection
// goes away (so a crash leaves nothing behind). The display therefore keeps a
// PipeWire consumer of its own for its whole life, which drops the frames.

#include <memory>

#include "platform/VirtualDisplayService.h"

namespace marlinax::platform::wayland {

class Bus;

// Throws BusError when mutter's screen cast is not on the bus.
std::shared_ptr<VirtualDisplayService> makeGnomeVirtualDisplayService(std::shared_ptr<Bus> bus);

}  // namespace marlinax::platform::wayland
