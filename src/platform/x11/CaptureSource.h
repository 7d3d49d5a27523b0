#pragma once

// What the X11 capture reads from the server on one connection: the RandR
// monitors, MIT-SHM grabs of a root rectangle and the XFixes cursor, put
// together into finished frames.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include "platform/CaptureService.h"
#include "platform/x11/CaptureImage.h"
#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {

struct Monitor {
  std::uint32_t id = 0;  // the monitor's name atom
  PixelRect rect;        // clipped to the root window
};

// Opens a connection for capture (empty name: $DISPLAY) and checks that the
// server has every extension the capture needs, announcing the versions used.
// Throws CaptureError: the server cannot be reached, or names the first
// extension missing.
std::unique_ptr<XDisplay> openCaptureConnection(const std::string& displayName);

// The root window's rectangle, asked from the server (never a cached size).
PixelRect rootRect(XDisplay& display);

// The RandR monitors, clipped to the root; monitors entirely outside it are
// left out. Throws CaptureError.
std::vector<Monitor> listMonitors(XDisplay& display);
std::optional<Monitor> findMonitor(XDisplay& display, std::uint32_t id);

struct PointerPosition {
  int x = 0;
  int y = 0;
};
// None when the pointer is on another screen or the query failed.
std::optional<PointerPosition> queryPointer(XDisplay& display);

// The current cursor image (XFixes). None when the server gives none.
std::optional<CursorImage> fetchCursor(XDisplay& display);

// A shared-memory image of a fixed size that receives grabs of the root.
class ShmImage {
 public:
  ShmImage(XDisplay& display, int width, int height);  // throws CaptureError
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  // Copies the root rectangle of this image's size at (x, y). False on an X
  // error (the rectangle left the root meanwhile, the connection broke).
  bool grab(int x, int y);

  int width() const { return image_->width; }
  int height() const { return image_->height; }
  int stride() const { return image_->bytes_per_line; }
  std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(image_->data); }

 private:
  XDisplay& display_;
  XShmSegmentInfo segment_{};
  XImage* image_ = nullptr;
  bool attached_ = false;
};

// Grab, opaque alpha, cursor and scaling of one root rectangle into a frame
// of the configured size, reusing its shared memory and output images.
class FrameBuilder {
 public:
  FrameBuilder(XDisplay& display, const CaptureConfiguration& configuration);

  // A frame of `area`, with the cursor drawn in when configured and given.
  // None when the grab failed.
  std::optional<SampleBuffer> build(const PixelRect& area, const CursorImage* cursor,
                                    std::optional<PointerPosition> pointer);

 private:
  XDisplay& display_;
  CaptureConfiguration configuration_;
  std::unique_ptr<ShmImage> shm_;
  ImagePool pool_;
};

// Nanoseconds on the monotonic clock: the presentation time of every frame,
// as value / 1'000'000'000 (never negative).
std::int64_t monotonicNanos();

}  // namespace marlinax::platform::x11
