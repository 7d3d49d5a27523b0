#include "platform/x11/VirtualDisplayX11.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>

#include "log/Log.h"
#include "platform/CaptureService.h"
#include "platform/x11/CaptureImage.h"
#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {

CvtTimings cvtTimings(int width, int height, double refreshRate) {
  // Constants of the CVT formula for normal blanking.
  constexpr int kCellGranularity = 8;
  constexpr double kMinVSyncAndBackPorchMicros = 550.0;
  constexpr int kMinVPorch = 3;
  constexpr int kMinVBackPorch = 6;
  constexpr double kHSyncPercent = 8.0;
  constexpr double kCPrime = 30.0;   // (C - J) * K / 256 + J with C 40, J 20, K 128
  constexpr double kMPrime = 300.0;  // M * K / 256 with M 600
  constexpr int kClockStepKHz = 250;

  CvtTimings t;
  t.hDisplay = width - width % kCellGranularity;
  t.vDisplay = height;

  // The vertical sync width tells the aspect ratio.
  int vSync = 10;
  auto is = [&](int w, int h) { return t.vDisplay % h == 0 && t.vDisplay / h * w == t.hDisplay; };
  if (is(4, 3)) {
    vSync = 4;
  } else if (is(16, 9)) {
    vSync = 5;
  } else if (is(16, 10)) {
    vSync = 6;
  } else if (is(5, 4) || is(15, 9)) {
    vSync = 7;
  }

  const double hPeriodMicros = (1'000'000.0 / refreshRate - kMinVSyncAndBackPorchMicros) / (t.vDisplay + kMinVPorch);
  int vSyncAndBackPorch = static_cast<int>(kMinVSyncAndBackPorchMicros / hPeriodMicros) + 1;
  vSyncAndBackPorch = std::max(vSyncAndBackPorch, vSync + kMinVBackPorch);
  t.vTotal = t.vDisplay + vSyncAndBackPorch + kMinVPorch;
  t.vSyncStart = t.vDisplay + kMinVPorch;
  t.vSyncEnd = t.vSyncStart + vSync;

  const double blankPercent = std::max(20.0, kCPrime - kMPrime * hPeriodMicros / 1000.0);
  int hBlank = static_cast<int>(t.hDisplay * blankPercent / (100.0 - blankPercent));
  hBlank -= hBlank % (2 * kCellGranularity);
  t.hTotal = t.hDisplay + hBlank;

  int hSync = static_cast<int>(t.hTotal * kHSyncPercent / 100.0);
  hSync -= hSync % kCellGranularity;
  t.hSyncEnd = t.hDisplay + hBlank / 2;
  t.hSyncStart = t.hSyncEnd - hSync;

  int clock = static_cast<int>(t.hTotal * 1000.0 / hPeriodMicros);
  t.pixelClockKHz = clock - clock % kClockStepKHz;
  t.hSyncPositive = false;
  t.vSyncPositive = true;
  return t;
}

namespace {

struct ScreenSize {
  int width = 0;
  int height = 0;
  int mmWidth = 0;
  int mmHeight = 0;
};

struct MonitorEntry {
  Atom name = None;
  PixelRect rect;
  std::vector<RROutput> outputs;
};

struct ResourcesDeleter {
  void operator()(XRRScreenResources* resources) const { XRRFreeScreenResources(resources); }
};
using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
struct OutputInfoDeleter {
  void operator()(XRROutputInfo* info) const { XRRFreeOutputInfo(info); }
};
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputInfoDeleter>;
struct CrtcInfoDeleter {
  void operator()(XRRCrtcInfo* info) const { XRRFreeCrtcInfo(info); }
};
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter>;

std::string modeName(const VirtualDisplayMode& mode, const std::string& displayName) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.2f", mode.refreshRate);
  // Named after the display, so that it is known to be ours after a crash
  // and never shared with another display's output.
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "_" + rate + " " + displayName;
}

class X11VirtualDisplay final : public PlatformVirtualDisplay {
 public:
  X11VirtualDisplay(std::unique_ptr<XDisplay> display, VirtualDisplayDescriptor descriptor)
      : display_(std::move(display)), descriptor_(std::move(descriptor)) {
    name_ = XInternAtom(display_->get(), descriptor_.name.c_str(), False);
    XRRSelectInput(display_->get(), display_->root(), RRScreenChangeNotifyMask);
    display_->syncAndTakeError();
  }

  ~X11VirtualDisplay() override { undo(); }

  bool applySettings(const VirtualDisplaySettings& settings) override {
    // X has no per-output scale: the high-resolution flag is the desktop's
    // business. The first mode is the one the display shows.
    if (settings.modes.empty() || settings.modes.front().width <= 0 || settings.modes.front().height <= 0 ||
        !(settings.modes.front().refreshRate > 0)) {
      log::error("virtual display \"" + descriptor_.name + "\": no usable mode");
      return false;
    }
    if (display_->lost()) return false;
    undo();  // applying again starts over
    const VirtualDisplayMode& mode = settings.modes.front();
    try {
      if (adoptLeftover(mode)) return true;
      if (tryFreeOutput(mode)) return true;
      undo();
      if (tryGrownScreen(mode)) return true;
    } catch (const std::exception& error) {
      log::error("virtual display \"" + descriptor_.name + "\": " + error.what());
    }
    undo();
    return false;
  }

 private:
  // What was changed on the server, to be undone in reverse.
  struct Changes {
    std::optional<ScreenSize> formerSize;
    RROutput output = None;
    RRMode mode = None;
    bool modeCreated = false;
    bool modeAdded = false;
    RRCrtc crtc = None;
    bool monitorSet = false;
  };

  Display* dpy() const { return display_->get(); }

  void check(const char* what) {
    if (int code = display_->syncAndTakeError()) {
      char text[128] = {};
      XGetErrorText(dpy(), code, text, sizeof text - 1);
      throw CaptureError(std::string(what) + " failed: " + text);
    }
  }

  Resources resources() {
    Resources result(XRRGetScreenResources(dpy(), display_->root()));
    if (!result) throw CaptureError("cannot read the RandR screen resources");
    return result;
  }

  // Xlib keeps the screen's size in millimetres from RandR events.
  ScreenSize currentSize() {
    XSync(dpy(), False);
    while (XPending(dpy()) > 0) {
      XEvent event;
      XNextEvent(dpy(), &event);
      XRRUpdateConfiguration(&event);
    }
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(dpy(), display_->root(), &root, &x, &y, &width, &height, &border, &depth)) {
      throw CaptureError("cannot read the screen size");
    }
    int screen = DefaultScreen(dpy());
    return {static_cast<int>(width), static_cast<int>(height), DisplayWidthMM(dpy(), screen),
            DisplayHeightMM(dpy(), screen)};
  }

  std::vector<MonitorEntry> monitors(bool activeOnly) {
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(dpy(), display_->root(), activeOnly ? True : False, &count);
    if (!list && display_->syncAndTakeError() != 0) throw CaptureError("cannot list the RandR monitors");
    std::vector<MonitorEntry> result;
    for (int i = 0; list != nullptr && i < count; ++i) {
      MonitorEntry entry{list[i].name, {list[i].x, list[i].y, list[i].width, list[i].height}, {}};
      entry.outputs.assign(list[i].outputs, list[i].outputs + list[i].noutput);
      result.push_back(std::move(entry));
    }
    if (list) XRRFreeMonitors(list);
    return result;
  }

  // The smallest screen that holds every monitor but ours.
  ScreenSize layoutWithoutUs(const ScreenSize& current) {
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    XRRGetScreenSizeRange(dpy(), display_->root(), &minWidth, &minHeight, &maxWidth, &maxHeight);
    int width = minWidth, height = minHeight;
    for (const auto& monitor : monitors(true)) {
      if (monitor.name == name_) continue;
      width = std::max(width, monitor.rect.x + monitor.rect.width);
      height = std::max(height, monitor.rect.y + monitor.rect.height);
    }
    return withDensityOf(current, std::min(width, current.width), std::min(height, current.height));
  }

  static ScreenSize withDensityOf(const ScreenSize& reference, int width, int height) {
    ScreenSize size{width, height, 0, 0};
    if (reference.width > 0 && reference.height > 0 && reference.mmWidth > 0 && reference.mmHeight > 0) {
      size.mmWidth = static_cast<int>(std::lround(double(width) * reference.mmWidth / reference.width));
      size.mmHeight = static_cast<int>(std::lround(double(height) * reference.mmHeight / reference.height));
    } else {
      size.mmWidth = static_cast<int>(std::lround(width * 25.4 / 96));  // 96 dots per inch
      size.mmHeight = static_cast<int>(std::lround(height * 25.4 / 96));
    }
    return size;
  }

  // The screen size that holds a `mode` placed at (x, 0); throws when the
  // server's maximum does not allow it.
  ScreenSize roomFor(const ScreenSize& current, int x, const VirtualDisplayMode& mode) {
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    if (!XRRGetScreenSizeRange(dpy(), display_->root(), &minWidth, &minHeight, &maxWidth, &maxHeight)) {
      throw CaptureError("cannot read the screen's size range");
    }
    int width = std::max(current.width, x + mode.width);
    int height = std::max(current.height, mode.height);
    if (width > maxWidth || height > maxHeight) {
      throw CaptureError("the screen cannot grow to " + std::to_string(width) + "x" + std::to_string(height) +
                         " (its maximum is " + std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + ")");
    }
    return withDensityOf(current, width, height);
  }

  void setScreenSize(const ScreenSize& size) {
    XRRSetScreenSize(dpy(), display_->root(), size.width, size.height, size.mmWidth, size.mmHeight);
    check("XRRSetScreenSize");
  }

  void grow(const ScreenSize& current, const ScreenSize& wanted) {
    if (wanted.width == current.width && wanted.height == current.height) return;
    if (!changes_.formerSize) changes_.formerSize = current;
    setScreenSize(wanted);
  }

  int layoutRight() {
    int right = 0;
    for (const auto& monitor : monitors(true)) {
      if (monitor.name != name_) right = std::max(right, monitor.rect.x + monitor.rect.width);
    }
    return right;
  }

  void setMonitor(const PixelRect& rect, const std::vector<RROutput>& outputs) {
    XRRMonitorInfo* monitor = XRRAllocateMonitor(dpy(), static_cast<int>(outputs.size()));
    if (!monitor) throw CaptureError("out of memory");
    monitor->name = name_;
    monitor->primary = False;
    monitor->automatic = False;
    monitor->x = rect.x;
    monitor->y = rect.y;
    monitor->width = rect.width;
    monitor->height = rect.height;
    monitor->mwidth = static_cast<int>(descriptor_.widthMillimeters);
    monitor->mheight = static_cast<int>(descriptor_.heightMillimeters);
    std::copy(outputs.begin(), outputs.end(), monitor->outputs);
    XRRSetMonitor(dpy(), display_->root(), monitor);
    XRRFreeMonitors(monitor);
    changes_.monitorSet = true;
    check("XRRSetMonitor");
  }

  // A monitor of ours left behind by a run that ended without cleaning up:
  // take it over (and clean it up at the end) rather than add a second one.
  bool adoptLeftover(const VirtualDisplayMode& mode) {
    std::optional<MonitorEntry> leftover;
    for (auto& monitor : monitors(false)) {
      if (monitor.name == name_) leftover = std::move(monitor);
    }
    if (!leftover) return false;
    const ScreenSize size = currentSize();
    const PixelRect root{0, 0, size.width, size.height};
    changes_.monitorSet = true;
    bool usable = leftover->rect.width == mode.width && leftover->rect.height == mode.height &&
                  leftover->rect.intersected(root) == leftover->rect;
    if (!leftover->outputs.empty()) {
      changes_.output = leftover->outputs.front();
      auto res = resources();
      OutputInfo info(XRRGetOutputInfo(dpy(), res.get(), changes_.output));
      if (info) {
        changes_.crtc = info->crtc;
        const std::string ours = modeName(mode, descriptor_.name);
        for (int i = 0; i < res->nmode; ++i) {
          if (res->modes[i].name && ours == res->modes[i].name) {
            changes_.mode = res->modes[i].id;
            changes_.modeCreated = changes_.modeAdded = true;
          }
        }
      }
      usable = usable && changes_.crtc != None;
    }
    // The former size is unknown: it was the smallest that holds the rest.
    ScreenSize former = layoutWithoutUs(size);
    if (former.width != size.width || former.height != size.height) changes_.formerSize = former;
    if (!usable) {
      log::info("virtual display \"" + descriptor_.name + "\": removing a broken one left by an earlier run");
      undo();
      return false;
    }
    log::info("virtual display \"" + descriptor_.name + "\": taking over the one left by an earlier run");
    return true;
  }

  // Way 1: an output that nothing is plugged into, with a CRTC to spare.
  bool tryFreeOutput(const VirtualDisplayMode& mode) {
    auto res = resources();
    std::vector<RROutput> claimed;
    for (const auto& monitor : monitors(false))
      claimed.insert(claimed.end(), monitor.outputs.begin(), monitor.outputs.end());
    RROutput output = None;
    RRCrtc crtc = None;
    std::string outputName;
    for (int i = 0; i < res->noutput && output == None; ++i) {
      OutputInfo info(XRRGetOutputInfo(dpy(), res.get(), res->outputs[i]));
      if (!info || info->connection == RR_Connected || info->crtc != None) continue;
      if (std::find(claimed.begin(), claimed.end(), res->outputs[i]) != claimed.end()) continue;
      for (int c = 0; c < info->ncrtc; ++c) {
        CrtcInfo crtcInfo(XRRGetCrtcInfo(dpy(), res.get(), info->crtcs[c]));
        if (crtcInfo && crtcInfo->mode == None && crtcInfo->noutput == 0) {
          output = res->outputs[i];
          crtc = info->crtcs[c];
          outputName.assign(info->name, info->nameLen);
          break;
        }
      }
    }
    if (output == None) return false;

    const ScreenSize size = currentSize();
    const int x = layoutRight();
    const ScreenSize wanted = roomFor(size, x, mode);

    const std::string name = modeName(mode, descriptor_.name);
    for (int i = 0; i < res->nmode; ++i) {
      if (res->modes[i].name && name == res->modes[i].name) changes_.mode = res->modes[i].id;
    }
    if (changes_.mode == None) {
      const CvtTimings timings = cvtTimings(mode.width, mode.height, mode.refreshRate);
      XRRModeInfo info{};
      info.width = static_cast<unsigned>(timings.hDisplay);
      info.height = static_cast<unsigned>(timings.vDisplay);
      info.dotClock = static_cast<unsigned long>(timings.pixelClockKHz) * 1000;
      info.hSyncStart = static_cast<unsigned>(timings.hSyncStart);
      info.hSyncEnd = static_cast<unsigned>(timings.hSyncEnd);
      info.hTotal = static_cast<unsigned>(timings.hTotal);
      info.vSyncStart = static_cast<unsigned>(timings.vSyncStart);
      info.vSyncEnd = static_cast<unsigned>(timings.vSyncEnd);
      info.vTotal = static_cast<unsigned>(timings.vTotal);
      info.modeFlags = (timings.hSyncPositive ? RR_HSyncPositive : RR_HSyncNegative) |
                       (timings.vSyncPositive ? RR_VSyncPositive : RR_VSyncNegative);
      std::string nameCopy = name;
      info.name = nameCopy.data();
      info.nameLength = static_cast<unsigned>(nameCopy.size());
      changes_.mode = XRRCreateMode(dpy(), display_->root(), &info);
      changes_.modeCreated = changes_.mode != None;
      check("XRRCreateMode");
      if (changes_.mode == None) throw CaptureError("the server made no mode");
    }
    changes_.output = output;
    XRRAddOutputMode(dpy(), output, changes_.mode);
    changes_.modeAdded = true;
    check("XRRAddOutputMode");

    grow(size, wanted);
    auto fresh = resources();  // the configuration's timestamp moved with the size
    changes_.crtc = crtc;
    Status status =
        XRRSetCrtcConfig(dpy(), fresh.get(), crtc, CurrentTime, x, 0, changes_.mode, RR_Rotate_0, &output, 1);
    check("XRRSetCrtcConfig");
    if (status != RRSetConfigSuccess) throw CaptureError("the server refused to switch the output on");

    setMonitor({x, 0, mode.width, mode.height}, {output});
    log::info("virtual display \"" + descriptor_.name + "\": output " + outputName + " switched on at " +
              std::to_string(x) + ",0");
    return true;
  }

  // Way 2: a monitor with no output over a strip added to the screen.
  bool tryGrownScreen(const VirtualDisplayMode& mode) {
    const ScreenSize size = currentSize();
    const int x = layoutRight();
    const ScreenSize wanted = roomFor(size, x, mode);
    grow(size, wanted);
    setMonitor({x, 0, mode.width, mode.height}, {});
    log::info("virtual display \"" + descriptor_.name + "\": monitor over the screen at " + std::to_string(x) +
              ",0 (the screen is now " + std::to_string(wanted.width) + "x" + std::to_string(wanted.height) + ")");
    return true;
  }

  // Reverses every change, the monitor first: shrinking the screen under a
  // monitor would leave it outside the root.
  void undo() {
    Changes changes = std::exchange(changes_, Changes{});
    if (display_->lost()) return;
    auto attempt = [this](const char* what, auto&& step) {
      try {
        step();
        check(what);
      } catch (const std::exception& error) {
        log::warning("virtual display \"" + descriptor_.name + "\": undoing: " + error.what());
      }
    };
    if (changes.monitorSet) attempt("XRRDeleteMonitor", [&] { XRRDeleteMonitor(dpy(), display_->root(), name_); });
    if (changes.crtc != None) {
      attempt("XRRSetCrtcConfig", [&] {
        auto res = resources();
        XRRSetCrtcConfig(dpy(), res.get(), changes.crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
      });
    }
    if (changes.modeAdded) {
      attempt("XRRDeleteOutputMode", [&] { XRRDeleteOutputMode(dpy(), changes.output, changes.mode); });
    }
    if (changes.modeCreated) attempt("XRRDestroyMode", [&] { XRRDestroyMode(dpy(), changes.mode); });
    if (changes.formerSize)
      attempt("XRRSetScreenSize", [&] {
        XRRSetScreenSize(dpy(), display_->root(), changes.formerSize->width, changes.formerSize->height,
                         changes.formerSize->mmWidth, changes.formerSize->mmHeight);
      });
    XSync(dpy(), False);
  }

  std::unique_ptr<XDisplay> display_;
  const VirtualDisplayDescriptor descriptor_;
  Atom name_ = None;
  Changes changes_;
};

class X11VirtualDisplayService final : public VirtualDisplayService {
 public:
  explicit X11VirtualDisplayService(std::string displayName) : displayName_(std::move(displayName)) {}

  std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) override {
    try {
      auto display = XDisplay::open(displayName_);
      int eventBase = 0, errorBase = 0, major = 1, minor = 5;
      if (!XRRQueryExtension(display->get(), &eventBase, &errorBase) ||
          !XRRQueryVersion(display->get(), &major, &minor) || major < 1 || (major == 1 && minor < 5)) {
        log::error("virtual display \"" + descriptor.name + "\": the X server lacks RandR 1.5");
        return nullptr;
      }
      return std::make_unique<X11VirtualDisplay>(std::move(display), descriptor);
    } catch (const std::exception& error) {
      log::error("virtual display \"" + descriptor.name + "\": " + error.what());
      return nullptr;
    }
  }

 private:
  const std::string displayName_;
};

}  // namespace

std::shared_ptr<VirtualDisplayService> makeVirtualDisplayService(const std::string& displayName) {
  return std::make_shared<X11VirtualDisplayService>(displayName);
}

}  // namespace marlinax::platform::x11
