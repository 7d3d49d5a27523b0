#pragma once

// The displays of a GNOME session as mutter's DisplayConfig interface reports
// them: one display per logical monitor, named by its first monitor's connector.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CaptureService.h"

namespace marlinax::platform::wayland {

class Bus;

// The display identifier of a connector ("DP-1", "Meta-0"): FNV-1a of its
// name, so it is the same in every run and every process; never 0.
std::uint32_t displayIdentifier(std::string_view connector);

// A monitor and the size of its current mode, in physical pixels.
struct PhysicalMonitor {
  std::string connector;
  int width = 0;
  int height = 0;
};

// A logical monitor: where the layout puts one or more mirrored monitors.
struct LogicalMonitor {
  int x = 0;
  int y = 0;
  double scale = 1;
  std::uint32_t transform = 0;  // 0 normal, 1-3 rotated by 90/180/270, 4-7 flipped likewise
  std::vector<std::string> connectors;
};

// How mutter lays monitors out: in logical pixels (a monitor of scale 2 covers
// half its pixel size) or in physical pixels.
enum class LayoutMode : std::uint32_t { logical = 1, physical = 2 };

struct GnomeDisplay {
  DisplayInfo info;       // frame in layout pixels
  std::string connector;  // what a screen cast records
  // Stream pixels per layout pixel: input positions are given to mutter in the
  // stream's pixels, which are physical ones.
  double streamScale = 1;
};

// One display per logical monitor that has a monitor with a current mode, in
// the order given. Rotated monitors have their width and height swapped.
std::vector<GnomeDisplay> layoutDisplays(const std::vector<PhysicalMonitor>& monitors,
                                         const std::vector<LogicalMonitor>& logicalMonitors, LayoutMode mode);

// The display under a point of the layout, if any.
const GnomeDisplay* displayAt(const std::vector<GnomeDisplay>& displays, double x, double y);

// Asks mutter for its current state. Throws BusError.
std::vector<GnomeDisplay> currentDisplays(Bus& bus);

}  // namespace marlinax::platform::wayland
