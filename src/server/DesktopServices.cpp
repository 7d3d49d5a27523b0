#include "server/DesktopServices.h"

#include <cstdlib>
#include <exception>
#include <thread>

#include "log/Log.h"
#include "platform/Permissions.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/InputPosterX11.h"
#include "platform/x11/VirtualDisplayX11.h"
#include "platform/x11/X11Permissions.h"
#ifdef MARLINAX_HAVE_WAYLAND
#include "platform/wayland/Bus.h"
#include "platform/wayland/CapturePortal.h"
#include "platform/wayland/GnomeBackend.h"
#include "platform/wayland/InputPosterPortal.h"
#endif

namespace marlinax::server {
namespace {

#ifdef MARLINAX_HAVE_WAYLAND
// On Wayland the grants are the compositor's: a cast starts without asking
// through mutter, or through the portal once it has given us a restore token.
class SessionPermissionProbe final : public platform::PermissionProbe {
 public:
  SessionPermissionProbe(platform::Backend backend, platform::SessionFacts facts)
      : backend_(backend), facts_(std::move(facts)) {}

  bool screenRecordingGranted() override { return current().screenRecording; }
  bool inputGranted() override { return current().accessibility; }

  // The portal's own dialog; the answer shows at the sheet's next refresh,
  // so the window never waits for the user here.
  bool requestScreenRecording() override {
    if (backend_ != platform::Backend::portal) return false;
    std::thread([] {
      try {
        if (!platform::wayland::requestScreenCastPermission(platform::wayland::Bus::openSession()))
          log::warning("The screen-cast portal did not grant access.");
      } catch (const std::exception& error) {
        log::warning(std::string("Cannot ask the screen-cast portal: ") + error.what());
      }
    }).detach();
    return true;
  }

 private:
  platform::Permissions current() {
    return platform::permissionsFor(backend_, facts_, platform::wayland::hasStoredScreenCastToken());
  }

  platform::Backend backend_;
  platform::SessionFacts facts_;
};
#endif

DesktopServices x11Services() {
  DesktopServices desktop;
  desktop.backend = platform::Backend::x11;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    log::warning("No X display: display, capture and input requests are not available.");
    return desktop;
  }
  try {
    desktop.services.capture = platform::x11::makeCaptureService();
  } catch (const std::exception& error) {
    log::warning(std::string("Screen capture is not available: ") + error.what());
  }
  try {
    auto input = platform::x11::makeInputServices();
    desktop.services.input = input.input;
    desktop.services.doubleClickInterval = input.doubleClickInterval;
  } catch (const std::exception& error) {
    log::warning(std::string("Input is not available: ") + error.what());
  }
  desktop.virtualDisplays = platform::x11::makeVirtualDisplayService();
  desktop.permissions = platform::x11::makePermissionProbe();
  if (desktop.services.capture && desktop.services.input)
    log::info(std::string("Capture and input on X display ") + display + ".");
  return desktop;
}

DesktopServices gnomeServices() {
  DesktopServices desktop;
  desktop.backend = platform::Backend::gnome;
#ifdef MARLINAX_HAVE_WAYLAND
  try {
    auto gnome = platform::wayland::makeGnomeServices();
    desktop.services.capture = gnome.capture;
    desktop.services.input = gnome.input;
    desktop.services.doubleClickInterval = gnome.doubleClickInterval;
    desktop.virtualDisplays = gnome.virtualDisplays;
    log::info("Capture and input through mutter on the Wayland session.");
  } catch (const std::exception& error) {
    log::warning(std::string("The GNOME backend is not available: ") + error.what());
  }
#else
  log::warning("The GNOME backend is not available: this build has no PipeWire or sd-bus support.");
#endif
  return desktop;
}

DesktopServices portalServices() {
  DesktopServices desktop;
  desktop.backend = platform::Backend::portal;
#ifdef MARLINAX_HAVE_WAYLAND
  try {
    desktop.services.capture = platform::wayland::makePortalCaptureService(platform::wayland::Bus::openSession());
    log::info(
        std::string("Capture through the desktop's screen-cast portal") +
        (platform::wayland::hasStoredScreenCastToken() ? "." : "; the desktop asks once which screens to share."));
  } catch (const std::exception& error) {
    log::warning(std::string("The portal backend is not available: ") + error.what());
  }
  try {
    auto poster = std::make_shared<platform::wayland::InputPosterPortal>(platform::wayland::Bus::openSession());
    desktop.services.input = poster;
    desktop.services.doubleClickInterval = poster;
    log::info("Input through the desktop's remote-desktop portal: the desktop asks for permission now.");
  } catch (const std::exception& error) {
    log::warning(std::string("Input is not available: ") + error.what());
  }
#else
  log::warning("The portal backend is not available: this build has no PipeWire or sd-bus support.");
#endif
  return desktop;
}

}  // namespace

DesktopServices makeDesktopServices(std::optional<platform::Backend> requested,
                                    const std::function<void(const std::string&)>& announce) {
  platform::SessionFacts facts = platform::environmentFacts();
#ifdef MARLINAX_HAVE_WAYLAND
  facts = platform::wayland::withBusFacts(facts);
#else
  facts.mutterOnBus = false;
#endif
  const platform::BackendChoice choice = platform::chooseBackend(facts, requested);
  if (!choice.backend) {
    announce("No display backend (" + choice.reason + "): display, capture and input requests are not available.");
    return {};
  }
  announce("Display backend: " + std::string(platform::backendName(*choice.backend)) + " (" + choice.reason + ").");
  DesktopServices desktop;
  switch (*choice.backend) {
  case platform::Backend::x11: return x11Services();
  case platform::Backend::gnome: desktop = gnomeServices(); break;
  case platform::Backend::portal: desktop = portalServices(); break;
  }
#ifdef MARLINAX_HAVE_WAYLAND
  desktop.permissions = std::make_shared<SessionPermissionProbe>(*choice.backend, facts);
#else
  desktop.permissions = platform::x11::makePermissionProbe();
#endif
  return desktop;
}

}  // namespace marlinax::server
