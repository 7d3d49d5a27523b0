#pragma once

// Screen capture on an X server: displays are the RandR monitors, frames come
// from MIT-SHM grabs of the monitor's root rectangle, scaled to the configured
// size with the cursor drawn in. Frames are delivered only when DAMAGE reports
// a change on the monitor or the pointer moves or changes shape over it.

#include <memory>
#include <string>

#include "platform/CaptureService.h"

namespace marlinax::platform::x11 {

// Connects to `displayName` (empty: $DISPLAY). Throws CaptureError when the
// server cannot be reached or lacks MIT-SHM, RANDR 1.5, DAMAGE or XFIXES.
//
// Display identifiers are the monitors' name atoms; frames are the monitor
// rectangles in root pixels, clipped to the root. Frame presentation times
// are monotonic-clock nanoseconds (timescale 1'000'000'000); durations are the
// configured minimum frame interval. Each stream runs its own thread and X
// connection.
std::shared_ptr<CaptureService> makeCaptureService(const std::string& displayName = {});

}  // namespace marlinax::platform::x11
