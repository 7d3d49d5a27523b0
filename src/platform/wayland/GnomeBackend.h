#pragma once

// Everything the GNOME backend offers, made on one session-bus connection.

#include <memory>

#include "platform/Backend.h"
#include "platform/CaptureService.h"
#include "platform/InputPoster.h"
#include "platform/VirtualDisplayService.h"

namespace marlinax::platform::wayland {

// The bus part of the session facts (names owned or activatable on the
// session bus); the facts unchanged when there is no session bus.
SessionFacts withBusFacts(SessionFacts facts);

struct GnomeServices {
  std::shared_ptr<CaptureService> capture;
  std::shared_ptr<InputPoster> input;
  std::shared_ptr<DoubleClickIntervalSource> doubleClickInterval;
  std::shared_ptr<VirtualDisplayService> virtualDisplays;
};

// Throws std::runtime_error (BusError, CaptureError) when the session bus or
// mutter's interfaces cannot be reached.
GnomeServices makeGnomeServices();

}  // namespace marlinax::platform::wayland
