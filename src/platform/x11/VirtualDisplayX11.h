#pragma once

// Virtual displays on an X server, through RandR. Two ways, tried in order:
//
// 1. A free output: an output with no monitor attached and a free CRTC (what
//    Xorg's modesetting driver offers on most GPUs, and the dummy driver) gets
//    a mode of the display's size and is switched on to the right of the
//    existing layout, growing the screen as needed. Desktops see an ordinary
//    monitor.
// 2. A monitor over a grown screen: otherwise the screen grows to the right,
//    within the server's maximum and at the same pixel density, and a RandR
//    monitor with no outputs covers the new area. Nothing shows it, but the
//    pointer reaches it, windows can be placed there and capture reads it from
//    the root window.
//
// Either way the RandR monitor carries the display's name, so the capture
// service lists it under that name's atom. Destroying the display undoes
// everything (output off, mode removed, monitor deleted, former screen size).
// A monitor of the same name left by a run that crashed is taken over, never
// duplicated.

#include <memory>
#include <string>

#include "platform/VirtualDisplayService.h"

namespace marlinax::platform::x11 {

// Mode timings by the VESA Coordinated Video Timings formula (normal
// blanking), as `cvt WIDTH HEIGHT RATE` prints them.
struct CvtTimings {
  int pixelClockKHz = 0;
  int hDisplay = 0, hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
  int vDisplay = 0, vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
  // CVT: negative horizontal and positive vertical sync.
  bool hSyncPositive = false;
  bool vSyncPositive = true;

  bool operator==(const CvtTimings&) const = default;
};
CvtTimings cvtTimings(int width, int height, double refreshRate);

// The service for `displayName` (empty: $DISPLAY). Each display opens its own
// connection to the server when it is created; a server that cannot be reached
// or lacks RandR 1.5 makes no display. Which way was taken is logged.
std::shared_ptr<VirtualDisplayService> makeVirtualDisplayService(const std::string& displayName = {});

}  // namespace marlinax::platform::x11
