#include "platform/x11/CaptureSource.h"

#include <chrono>
#include <string>

#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace marlinax::platform::x11 {

namespace {

void requireCaptureExtensions(XDisplay& display) {
  Display* dpy = display.get();
  int major = 0, minor = 0, eventBase = 0, errorBase = 0;
  Bool pixmaps = False;
  if (!XShmQueryVersion(dpy, &major, &minor, &pixmaps)) throw CaptureError("the X server lacks MIT-SHM");
  if (!XRRQueryExtension(dpy, &eventBase, &errorBase)) throw CaptureError("the X server lacks RANDR");
  major = 1, minor = 5;
  if (!XRRQueryVersion(dpy, &major, &minor) || major < 1 || (major == 1 && minor < 5)) {
    throw CaptureError("the X server lacks RANDR 1.5 monitors");
  }
  if (!XDamageQueryExtension(dpy, &eventBase, &errorBase)) throw CaptureError("the X server lacks DAMAGE");
  major = 1, minor = 1;
  XDamageQueryVersion(dpy, &major, &minor);
  if (!XFixesQueryExtension(dpy, &eventBase, &errorBase)) throw CaptureError("the X server lacks XFIXES");
  major = 5, minor = 0;
  if (!XFixesQueryVersion(dpy, &major, &minor) || major < 2) throw CaptureError("the X server's XFIXES is too old");
}

}  // namespace

std::unique_ptr<XDisplay> openCaptureConnection(const std::string& displayName) {
  std::unique_ptr<XDisplay> display;
  try {
    display = XDisplay::open(displayName);
  } catch (const XError& error) {
    throw CaptureError(error.what());
  }
  requireCaptureExtensions(*display);
  return display;
}

PixelRect rootRect(XDisplay& display) {
  Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(display.get(), display.root(), &root, &x, &y, &width, &height, &border, &depth)) {
    throw CaptureError("cannot read the root window's size");
  }
  return {0, 0, static_cast<int>(width), static_cast<int>(height)};
}

std::vector<Monitor> listMonitors(XDisplay& display) {
  PixelRect root = rootRect(display);
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display.get(), display.root(), True, &count);
  if (!monitors && display.syncAndTakeError() != 0) throw CaptureError("cannot list the RandR monitors");
  std::vector<Monitor> result;
  for (int i = 0; monitors != nullptr && i < count; ++i) {
    PixelRect rect{monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height};
    rect = rect.intersected(root);
    if (rect.empty()) continue;
    result.push_back({static_cast<std::uint32_t>(monitors[i].name), rect});
  }
  if (monitors) XRRFreeMonitors(monitors);
  if (display.lost()) throw CaptureError("the connection to the X server broke");
  return result;
}

std::optional<Monitor> findMonitor(XDisplay& display, std::uint32_t id) {
  for (const auto& monitor : listMonitors(display)) {
    if (monitor.id == id) return monitor;
  }
  return std::nullopt;
}

std::optional<PointerPosition> queryPointer(XDisplay& display) {
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(display.get(), display.root(), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask)) {
    return std::nullopt;
  }
  return PointerPosition{rootX, rootY};
}

std::optional<CursorImage> fetchCursor(XDisplay& display) {
  XFixesCursorImage* image = XFixesGetCursorImage(display.get());
  if (!image) return std::nullopt;
  CursorImage cursor;
  cursor.width = image->width;
  cursor.height = image->height;
  cursor.xhot = image->xhot;
  cursor.yhot = image->yhot;
  cursor.argb.resize(static_cast<std::size_t>(cursor.width) * cursor.height);
  // Each pixel comes as an unsigned long (8 bytes here) holding 32-bit ARGB.
  for (std::size_t i = 0; i < cursor.argb.size(); ++i) {
    cursor.argb[i] = static_cast<std::uint32_t>(image->pixels[i] & 0xFFFFFFFFul);
  }
  XFree(image);
  return cursor;
}

ShmImage::ShmImage(XDisplay& display, int width, int height) : display_(display) {
  Display* dpy = display.get();
  int screen = DefaultScreen(dpy);
  image_ = XShmCreateImage(dpy, DefaultVisual(dpy, screen), static_cast<unsigned>(DefaultDepth(dpy, screen)), ZPixmap,
                           nullptr, &segment_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (!image_) throw CaptureError("cannot create a shared-memory image");
  if (image_->bits_per_pixel != 32 || image_->byte_order != LSBFirst) {
    XDestroyImage(image_);
    throw CaptureError("the X server's pixels are not 32-bit BGRX");
  }
  std::size_t size = static_cast<std::size_t>(image_->bytes_per_line) * image_->height;
  segment_.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (segment_.shmid < 0) {
    XDestroyImage(image_);
    throw CaptureError("shmget failed");
  }
  segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
  if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    image_->data = nullptr;
    XDestroyImage(image_);
    throw CaptureError("shmat failed");
  }
  segment_.readOnly = False;
  XShmAttach(dpy, &segment_);
  bool failed = display.syncAndTakeError() != 0;
  // Once both sides are attached the segment can be marked for removal: it
  // then disappears with the last detach, even if this process dies.
  shmctl(segment_.shmid, IPC_RMID, nullptr);
  if (failed) {
    shmdt(segment_.shmaddr);
    image_->data = nullptr;
    XDestroyImage(image_);
    throw CaptureError("the X server cannot attach the shared memory (is it on another machine?)");
  }
  attached_ = true;
}

ShmImage::~ShmImage() {
  if (attached_ && !display_.lost()) {
    XShmDetach(display_.get(), &segment_);
    display_.syncAndTakeError();
  }
  shmdt(segment_.shmaddr);
  image_->data = nullptr;
  XDestroyImage(image_);
}

bool ShmImage::grab(int x, int y) {
  if (display_.lost()) return false;
  display_.takeError();
  Status status = XShmGetImage(display_.get(), display_.root(), image_, x, y, AllPlanes);
  return status != 0 && display_.takeError() == 0;
}

FrameBuilder::FrameBuilder(XDisplay& display, const CaptureConfiguration& configuration)
    : display_(display), configuration_(configuration),
      pool_(static_cast<std::size_t>(std::max(1, configuration.queueDepth)) + 1) {
  if (configuration_.width <= 0 || configuration_.height <= 0) throw CaptureError("invalid capture size");
}

std::optional<SampleBuffer> FrameBuilder::build(const PixelRect& area, const CursorImage* cursor,
                                                std::optional<PointerPosition> pointer) {
  if (area.empty()) return std::nullopt;
  if (!shm_ || shm_->width() != area.width || shm_->height() != area.height) {
    shm_.reset();
    shm_ = std::make_unique<ShmImage>(display_, area.width, area.height);
  }
  std::int64_t captured = monotonicNanos();
  if (!shm_->grab(area.x, area.y)) return std::nullopt;
  if (configuration_.showsCursor && cursor && pointer) {
    drawCursor(shm_->data(), shm_->stride(), area, *cursor, pointer->x, pointer->y);
  }
  std::shared_ptr<Image> output = pool_.acquire(configuration_.width, configuration_.height);
  scaleInto(shm_->data(), shm_->stride(), shm_->width(), shm_->height(), *output);
  // After scaling: libyuv's horizontal filter weighs neighbours by 127/128, so
  // even an opaque source would not stay 0xFF.
  makeOpaque(output->pixels.data(), output->stride, output->width, output->height);

  SampleBuffer sample;
  sample.image = std::move(output);
  sample.presentationTime = {captured, 1'000'000'000};
  sample.duration = {configuration_.minimumFrameIntervalNumerator, configuration_.minimumFrameIntervalTimescale};
  sample.captureNanos = captured;
  sample.opaque = true;
  return sample;
}

std::int64_t monotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace marlinax::platform::x11
