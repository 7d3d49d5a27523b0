#include "platform/x11/CaptureX11.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/x11/CaptureSource.h"
#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

nanoseconds frameInterval(const CaptureConfiguration& configuration) {
  if (configuration.minimumFrameIntervalTimescale <= 0 || configuration.minimumFrameIntervalNumerator <= 0) {
    return nanoseconds(0);
  }
  return nanoseconds(static_cast<std::int64_t>(configuration.minimumFrameIntervalNumerator) * 1'000'000'000 /
                     configuration.minimumFrameIntervalTimescale);
}

void checkConfiguration(const CaptureConfiguration& configuration) {
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > 16384 ||
      configuration.height > 16384) {
    throw CaptureError("invalid capture size " + std::to_string(configuration.width) + "x" +
                       std::to_string(configuration.height));
  }
}

// Root areas of `area` as areas of the frame it is scaled into, widened by
// two pixels for the scaler's filter.
std::vector<ImageRect> scaledDamage(const std::vector<PixelRect>& damage, const PixelRect& area, int width,
                                    int height) {
  std::vector<ImageRect> scaled;
  scaled.reserve(damage.size());
  const double sx = static_cast<double>(width) / area.width;
  const double sy = static_cast<double>(height) / area.height;
  for (const PixelRect& r : damage) {
    const int x0 = std::max(0, static_cast<int>(std::floor((r.x - area.x) * sx)) - 2);
    const int y0 = std::max(0, static_cast<int>(std::floor((r.y - area.y) * sy)) - 2);
    const int x1 = std::min(width, static_cast<int>(std::ceil((r.x + r.width - area.x) * sx)) + 2);
    const int y1 = std::min(height, static_cast<int>(std::ceil((r.y + r.height - area.y) * sy)) + 2);
    if (x0 < x1 && y0 < y1) scaled.push_back({x0, y0, x1 - x0, y1 - y0});
  }
  return scaled;
}

// Shared by a stream object and its capture thread.
struct StreamControl {
  std::atomic<bool> stopping{false};
  // On demand: the consumer can take a frame.
  mutable std::atomic<bool> wanted{false};
  int wakeFd = -1;

  StreamControl() {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throw CaptureError("eventfd failed");
  }
  ~StreamControl() { ::close(wakeFd); }
  void wake() const {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
  }
  void drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = ::read(wakeFd, &count, sizeof count);
  }
};

// Everything a capture thread owns: its connection, the damage object and the
// frame builder. Created on the caller's thread (so that failures reach the
// caller), then handed to the capture thread, which destroys it.
class StreamWorker {
 public:
  StreamWorker(const std::string& displayName, std::uint32_t displayID, const CaptureConfiguration& configuration,
               CaptureService::Output output)
      : displayID_(displayID), configuration_(configuration), output_(std::move(output)),
        display_(openCaptureConnection(displayName)) {
    Display* dpy = display_->get();
    auto monitor = findMonitor(*display_, displayID_);
    if (!monitor) throw CaptureError("no display with identifier " + std::to_string(displayID_));
    area_ = monitor->rect;

    int errorBase = 0;
    XDamageQueryExtension(dpy, &damageEventBase_, &errorBase);
    XRRQueryExtension(dpy, &randrEventBase_, &errorBase);
    XFixesQueryExtension(dpy, &fixesEventBase_, &errorBase);

    XSelectInput(dpy, display_->root(), StructureNotifyMask);
    XRRSelectInput(dpy, display_->root(), RRScreenChangeNotifyMask);
    // NonEmpty: one event when the damage becomes non-empty, the next only
    // after we subtract it, so a busy screen costs at most one round trip per frame.
    damageObject_ = XDamageCreate(dpy, display_->root(), XDamageReportNonEmpty);
    region_ = XFixesCreateRegion(dpy, nullptr, 0);
    if (configuration_.showsCursor) XFixesSelectCursorInput(dpy, display_->root(), XFixesDisplayCursorNotifyMask);
    if (display_->syncAndTakeError() != 0) throw CaptureError("cannot watch the screen for changes");
    builder_ = std::make_unique<FrameBuilder>(*display_, configuration_);
  }

  ~StreamWorker() {
    builder_.reset();  // detaches and frees the shared memory
    if (!display_->lost()) {
      XFixesDestroyRegion(display_->get(), region_);
      XDamageDestroy(display_->get(), damageObject_);
    }
  }

  void run(const StreamControl& control) {
    const nanoseconds interval = frameInterval(configuration_);
    // The pointer makes no damage: it is polled, twice per frame interval while
    // it moves, and four times less often once it has rested for a second (a
    // still screen then costs few round trips).
    const nanoseconds movingPeriod = std::max<nanoseconds>(interval / 2, std::chrono::milliseconds(4));
    const nanoseconds restingPeriod = 4 * movingPeriod;
    nanoseconds pointerPeriod = movingPeriod;
    Clock::time_point lastPointerMove = Clock::now();
    bool changed = true;  // the first frame goes out at once
    bool damagePending = false;
    bool geometryStale = false;
    bool cursorStale = true;
    std::optional<Clock::time_point> lastDelivery;
    Clock::time_point lastPointerPoll{};
    Display* dpy = display_->get();

    while (!control.stopping.load() && !display_->lost()) {
      while (XPending(dpy) > 0) {
        XEvent event;
        XNextEvent(dpy, &event);
        if (event.type == damageEventBase_ + XDamageNotify) {
          damagePending = true;
        } else if (event.type == ConfigureNotify || event.type == randrEventBase_ + RRScreenChangeNotify) {
          XRRUpdateConfiguration(&event);
          geometryStale = true;
        } else if (event.type == fixesEventBase_ + XFixesCursorNotify) {
          cursorStale = true;
          if (cursorTouches(pointer_)) changed = true;
        }
      }

      Clock::time_point now = Clock::now();
      if (configuration_.showsCursor && now - lastPointerPoll >= pointerPeriod) {
        lastPointerPoll = now;
        auto position = queryPointer(*display_);
        bool moved = position.has_value() != pointer_.has_value() ||
                     (position && (position->x != pointer_->x || position->y != pointer_->y));
        if (moved) {
          if (cursorTouches(pointer_) || cursorTouches(position)) changed = true;
          pointer_ = position;
          lastPointerMove = now;
        }
        pointerPeriod = now - lastPointerMove < std::chrono::seconds(1) ? movingPeriod : restingPeriod;
      }

      bool ready =
          (!lastDelivery || now - *lastDelivery >= interval) && (!configuration_.onDemand || control.wanted.load());
      if (ready) {
        if (geometryStale) {
          geometryStale = false;
          if (refreshArea()) changed = damageAll_ = true;
          if (removed_) break;
        }
        if (damagePending) {
          damagePending = false;
          if (damageTouchesArea()) changed = true;
        }
        if (changed) {
          if (configuration_.showsCursor && cursorStale) {
            cursor_ = fetchCursor(*display_);
            cursorStale = false;
          }
          lastDelivery = now;  // failures are retried at the frame rate, not in a spin
          // The cursor where the last frame drew it and where this one does.
          const std::optional<PixelRect> cursorNow = cursorArea();
          if (drawnCursor_) damage_.push_back(*drawnCursor_);
          if (cursorNow) damage_.push_back(*cursorNow);
          auto frame = builder_->build(area_, cursor_ ? &*cursor_ : nullptr, pointer_);
          if (frame) {
            if (!damageAll_) frame->damage = scaledDamage(damage_, area_, configuration_.width, configuration_.height);
            damage_.clear();
            damageAll_ = false;
            drawnCursor_ = cursorNow;
            changed = false;
            if (control.stopping.load()) break;
            control.wanted = false;
            output_(std::move(*frame));
          } else {
            geometryStale = true;  // most likely the monitor moved or the root shrank
          }
        }
      }

      // Sleep until the next frame is due, the next pointer poll, an X event or stop().
      nanoseconds wait = nanoseconds::max();
      // Not wanted: pending changes wait (requestFrame wakes the loop).
      if ((changed || damagePending || geometryStale) && lastDelivery &&
          (!configuration_.onDemand || control.wanted.load())) {
        wait = std::max(nanoseconds(0), interval - (Clock::now() - *lastDelivery));
      }
      if (configuration_.showsCursor) wait = std::min(wait, pointerPeriod);
      XFlush(dpy);
      if (XEventsQueued(dpy, QueuedAlready) > 0) wait = nanoseconds(0);
      pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {control.wakeFd, POLLIN, 0}};
      timespec timeout{};
      timespec* timeoutPointer = nullptr;
      if (wait != nanoseconds::max()) {
        timeout.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
        timeoutPointer = &timeout;
      }
      ::ppoll(fds, 2, timeoutPointer, nullptr);
      if (fds[1].revents & POLLIN) control.drain();
    }
  }

 private:
  // Whether the cursor image at that pointer position overlaps the display.
  bool cursorTouches(const std::optional<PointerPosition>& position) const {
    if (!position) return false;
    if (!cursor_) return area_.intersects({position->x, position->y, 1, 1});
    return area_.intersects(cursor_->placedAt(position->x, position->y));
  }

  // Reads the monitor's rectangle again. True when it changed.
  bool refreshArea() {
    PixelRect area = area_;
    try {
      if (auto monitor = findMonitor(*display_, displayID_)) {
        area = monitor->rect;
      } else {
        removed_ = true;  // the monitor is gone: so is the stream
        return false;
      }
    } catch (const CaptureError&) {
      return false;
    }
    if (area == area_) return false;
    area_ = area;
    return true;
  }

  // Takes the accumulated damage and keeps the part on the display for the
  // next frame; true when there is some.
  bool damageTouchesArea() {
    Display* dpy = display_->get();
    XDamageSubtract(dpy, damageObject_, None, region_);
    int count = 0;
    XRectangle* rectangles = XFixesFetchRegion(dpy, region_, &count);
    bool touches = false;
    for (int i = 0; i < count; ++i) {
      const PixelRect onDisplay =
          area_.intersected({rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
      if (onDisplay.empty()) continue;
      damage_.push_back(onDisplay);
      touches = true;
    }
    if (rectangles) XFree(rectangles);
    return touches;
  }

  // Where the cursor is drawn on the display now, if anywhere.
  std::optional<PixelRect> cursorArea() const {
    if (!configuration_.showsCursor || !pointer_ || !cursor_) return std::nullopt;
    const PixelRect placed = area_.intersected(cursor_->placedAt(pointer_->x, pointer_->y));
    if (placed.empty()) return std::nullopt;
    return placed;
  }

  const std::uint32_t displayID_;
  const CaptureConfiguration configuration_;
  const CaptureService::Output output_;
  std::unique_ptr<XDisplay> display_;
  std::unique_ptr<FrameBuilder> builder_;
  PixelRect area_;
  Damage damageObject_ = 0;
  // Root areas of the display that changed since the last delivered frame;
  // damageAll_ when that is not known (the first frame, a new geometry).
  std::vector<PixelRect> damage_;
  bool damageAll_ = true;
  std::optional<PixelRect> drawnCursor_;  // where the last frame shows the cursor
  XserverRegion region_ = 0;
  int damageEventBase_ = 0;
  int randrEventBase_ = 0;
  int fixesEventBase_ = 0;
  std::optional<PointerPosition> pointer_;
  std::optional<CursorImage> cursor_;
  bool removed_ = false;

 public:
  // Why run() returned without being stopped; none when it was stopped.
  std::optional<std::string> endReason(const StreamControl& control) const {
    if (control.stopping.load()) return std::nullopt;
    if (removed_) return "the display was removed";
    return "the connection to the X server was lost";
  }
};

class X11CaptureStream : public CaptureStream {
 public:
  X11CaptureStream(const std::string& displayName, std::uint32_t displayID, const CaptureConfiguration& configuration,
                   CaptureService::Output output, CaptureService::Ended ended)
      : control_(std::make_shared<StreamControl>()) {
    auto worker = std::make_unique<StreamWorker>(displayName, displayID, configuration, std::move(output));
    thread_ = std::thread([worker = std::move(worker), control = control_, ended = std::move(ended)]() mutable {
      worker->run(*control);
      std::optional<std::string> reason = worker->endReason(*control);
      worker.reset();
      if (reason && ended) ended(*reason);
    });
  }

  ~X11CaptureStream() override { stop(); }

  void requestFrame() override {
    if (!control_->wanted.exchange(true)) control_->wake();
  }

  void stop() override {
    std::lock_guard lock(stopMutex_);
    if (!thread_.joinable()) return;
    control_->stopping = true;
    control_->wake();
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Called from the output: the thread finishes by itself after it returns.
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  std::shared_ptr<StreamControl> control_;
  std::mutex stopMutex_;
  std::thread thread_;
};

class X11CaptureService : public CaptureService {
 public:
  explicit X11CaptureService(std::string displayName)
      : displayName_(std::move(displayName)), display_(openCaptureConnection(displayName_)) {
    watchConfiguration();
  }

  std::vector<DisplayInfo> shareableDisplays() override {
    std::lock_guard lock(mutex_);
    ensureConnected();
    drainEvents();
    std::vector<DisplayInfo> displays;
    for (const auto& monitor : listMonitors(*display_)) {
      displays.push_back({monitor.id,
                          {static_cast<double>(monitor.rect.x), static_cast<double>(monitor.rect.y),
                           static_cast<double>(monitor.rect.width), static_cast<double>(monitor.rect.height)}});
    }
    return displays;
  }

  std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display, const CaptureConfiguration& configuration,
                                             Output output, Ended ended = {}) override {
    checkConfiguration(configuration);
    return std::make_unique<X11CaptureStream>(displayName_, display.displayID, configuration, std::move(output),
                                              std::move(ended));
  }

  std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                         const CaptureConfiguration& configuration) override {
    checkConfiguration(configuration);
    std::lock_guard lock(mutex_);
    ensureConnected();
    drainEvents();
    auto monitor = findMonitor(*display_, display.displayID);
    if (!monitor) return std::nullopt;
    std::optional<CursorImage> cursor;
    std::optional<PointerPosition> pointer;
    if (configuration.showsCursor) {
      cursor = fetchCursor(*display_);
      pointer = queryPointer(*display_);
    }
    // Previews come in bursts of the same size: keep the shared memory and
    // output images of the last configuration.
    if (!screenshotBuilder_ || screenshotConfiguration_.width != configuration.width ||
        screenshotConfiguration_.height != configuration.height ||
        screenshotConfiguration_.showsCursor != configuration.showsCursor ||
        screenshotConfiguration_.minimumFrameIntervalNumerator != configuration.minimumFrameIntervalNumerator ||
        screenshotConfiguration_.minimumFrameIntervalTimescale != configuration.minimumFrameIntervalTimescale) {
      screenshotBuilder_.reset();
      screenshotBuilder_ = std::make_unique<FrameBuilder>(*display_, configuration);
      screenshotConfiguration_ = configuration;
    }
    auto frame = screenshotBuilder_->build(monitor->rect, cursor ? &*cursor : nullptr, pointer);
    if (!frame) throw CaptureError("the screen grab failed");
    return frame;
  }

 private:
  void watchConfiguration() {
    XSelectInput(display_->get(), display_->root(), StructureNotifyMask);
    XRRSelectInput(display_->get(), display_->root(), RRScreenChangeNotifyMask);
  }

  // Keeps Xlib's idea of the screen size current.
  void drainEvents() {
    Display* dpy = display_->get();
    while (XPending(dpy) > 0) {
      XEvent event;
      XNextEvent(dpy, &event);
      XRRUpdateConfiguration(&event);
    }
  }

  // A broken connection (the server restarted) is replaced on the next call.
  void ensureConnected() {
    if (display_ && !display_->lost()) return;
    screenshotBuilder_.reset();
    display_.reset();
    display_ = openCaptureConnection(displayName_);
    watchConfiguration();
  }

  const std::string displayName_;
  std::mutex mutex_;
  std::unique_ptr<XDisplay> display_;
  std::unique_ptr<FrameBuilder> screenshotBuilder_;  // uses display_
  CaptureConfiguration screenshotConfiguration_;
};

}  // namespace

std::shared_ptr<CaptureService> makeCaptureService(const std::string& displayName) {
  return std::make_shared<X11CaptureService>(displayName);
}

}  // namespace marlinax::platform::x11
