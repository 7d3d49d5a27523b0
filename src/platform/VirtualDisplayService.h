#pragma once

// Virtual displays: displays with no monitor behind them, made by the window
// system on request so that they can be cast. Platform-neutral; the X11
// implementation (RandR) lives in x11/, a recording fake with the test support.
//
// The shape fits every window system we serve: the display exists exactly as
// long as the PlatformVirtualDisplay object lives. On X11 the object owns a
// RandR output or monitor and undoes it when destroyed; on GNOME it owns the
// screen-cast session whose virtual monitor lives only while the session does;
// on wlroots it owns an output created by name.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace marlinax::platform {

// What the display is called and reports about itself.
struct VirtualDisplayDescriptor {
  std::string name;  // "Virtual Display 1"
  std::uint32_t maxPixelsWide = 0;
  std::uint32_t maxPixelsHigh = 0;
  std::uint32_t widthMillimeters = 0;
  std::uint32_t heightMillimeters = 0;
  std::uint32_t vendorID = 0;
  std::uint32_t productID = 0;
  std::uint32_t serialNumber = 0;
  // Label of the serial queue the display's callbacks would run on.
  std::string queueLabel;

  bool operator==(const VirtualDisplayDescriptor&) const = default;
};

struct VirtualDisplayMode {
  int width = 0;
  int height = 0;
  double refreshRate = 0;

  bool operator==(const VirtualDisplayMode&) const = default;
};

struct VirtualDisplaySettings {
  std::uint32_t hiDPI = 0;
  std::vector<VirtualDisplayMode> modes;

  bool operator==(const VirtualDisplaySettings&) const = default;
};

// One virtual display the window system made. Destroying it removes the
// display and undoes every change made for it (screen size, outputs).
class PlatformVirtualDisplay {
 public:
  virtual ~PlatformVirtualDisplay() = default;
  // Gives the display its modes and switches it on. False when the window
  // system refused; the object then still owns whatever it made, and
  // destroying it cleans that up.
  virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
};

class VirtualDisplayService {
 public:
  virtual ~VirtualDisplayService() = default;
  // Makes a display from the descriptor, or none when the window system
  // cannot make one (no room, no support). Never throws.
  virtual std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) = 0;
};

}  // namespace marlinax::platform
