#pragma once

// A display with no monitor behind it, made to be cast, and the discovery of
// the identifier the window system gave it.
//
// VirtualDisplay goes through three states: empty (just made), created (a
// platform display stored, id = the display number, 1920 x 1080) and
// identified (id = the identifier the capture service lists it under). Its
// progress lines go to the Environment's output, one line each, exactly as
// the user and the scripts watching standard output expect them.
//
// Every operation here blocks: createAndDiscover waits two seconds. Callers
// that must not block (the window, the session) run it on a thread of their
// own, as VirtualDisplayHolder::create does.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualDisplayService.h"

namespace marlinax::platform {
class CaptureService;
}

namespace marlinax::displays {

// Every parameter of the platform display derives from its number.
platform::VirtualDisplayDescriptor descriptorFor(std::uint16_t displayNumber);
platform::VirtualDisplaySettings settingsFor(std::uint16_t displayNumber);

// The identifiers of the displays the capture service lists now, in its
// order, with a "display: N" line for each; on failure the error line and an
// empty list.
std::vector<std::uint32_t> listDisplayIDs(platform::CaptureService& capture,
                                          const std::function<void(const std::string&)>& output);

// What a VirtualDisplay works with. Tests replace the wait and the output.
struct Environment {
  std::shared_ptr<platform::VirtualDisplayService> service;
  // The display list before and after creation.
  std::function<std::vector<std::uint32_t>()> listDisplayIDs;
  // Waits the given time; returns an error description when the wait was
  // cancelled, nothing when it ran its course.
  std::function<std::optional<std::string>(std::chrono::nanoseconds)> wait;
  // One progress line (without its newline).
  std::function<void(const std::string&)> output;

  // The product's environment: the service, the capture service's display
  // list, a real two-second wait, and standard output.
  static Environment standard(std::shared_ptr<platform::VirtualDisplayService> service,
                              std::shared_ptr<platform::CaptureService> capture);
};

class VirtualDisplay {
 public:
  explicit VirtualDisplay(Environment environment);

  void createDisplay(std::uint16_t displayNumber);
  // Creates the display, waits two seconds and adopts the first identifier
  // the display list gained meanwhile. Never fails.
  void createAndDiscover(std::uint16_t displayNumber);
  void setDisplayID(std::uint32_t identifier);

  // Thread-safe readers.
  std::optional<std::uint32_t> id() const;
  int width() const;
  int height() const;
  bool hasPlatformDisplay() const;

  // Drops the platform display, which undoes it on the window system.
  void release();

 private:
  Environment environment_;
  mutable std::mutex mutex_;
  std::unique_ptr<platform::PlatformVirtualDisplay> virtualDisplay_;
  std::optional<std::uint32_t> id_;
  int width_ = 0;
  int height_ = 0;
};

// Holds the one optional VirtualDisplay that the window's view model keeps.
class VirtualDisplayHolder {
 public:
  explicit VirtualDisplayHolder(Environment environment);

  // Makes a new VirtualDisplay, runs its createAndDiscover to completion and
  // stores it. Blocks for the whole creation, the two-second wait included.
  void create(std::uint16_t displayNumber);

  std::shared_ptr<VirtualDisplay> virtualDisplay() const;

 private:
  Environment environment_;
  mutable std::mutex mutex_;
  std::shared_ptr<VirtualDisplay> virtualDisplay_;
};

}  // namespace marlinax::displays
