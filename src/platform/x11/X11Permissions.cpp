#include "platform/x11/X11Permissions.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {
namespace {

std::unique_ptr<XDisplay> tryOpen(const std::string& displayName) {
  try {
    return XDisplay::open(displayName);
  } catch (const XError&) {
    return nullptr;
  }
}

class X11PermissionProbe final : public PermissionProbe {
 public:
  explicit X11PermissionProbe(std::string displayName) : displayName_(std::move(displayName)) {}
  bool screenRecordingGranted() override { return probeScreenRecording(displayName_); }
  bool inputGranted() override { return probeInput(displayName_); }

 private:
  std::string displayName_;
};

}  // namespace

bool probeScreenRecording(const std::string& displayName) {
  auto display = tryOpen(displayName);
  if (!display) return false;
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  // Monitors (which the display list is made of) arrived with RandR 1.5.
  if (!XRRQueryExtension(display->get(), &eventBase, &errorBase) || !XRRQueryVersion(display->get(), &major, &minor))
    return false;
  if (major < 1 || (major == 1 && minor < 5)) return false;
  return XShmQueryExtension(display->get()) == True;
}

bool probeInput(const std::string& displayName) {
  auto display = tryOpen(displayName);
  if (!display) return false;
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  return XTestQueryExtension(display->get(), &eventBase, &errorBase, &major, &minor) == True;
}

std::shared_ptr<PermissionProbe> makePermissionProbe(const std::string& displayName) {
  return std::make_shared<X11PermissionProbe>(displayName);
}

}  // namespace marlinax::platform::x11
