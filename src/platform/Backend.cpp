#include "platform/Backend.h"

#include <cstdlib>

#include <unistd.h>

namespace marlinax::platform {

std::string_view backendName(Backend backend) {
  switch (backend) {
  case Backend::x11: return "x11";
  case Backend::gnome: return "gnome";
  case Backend::portal: return "portal";
  }
  return "unknown";
}

std::optional<Backend> parseBackend(std::string_view name) {
  for (Backend backend : {Backend::x11, Backend::gnome, Backend::portal}) {
    if (name == backendName(backend)) return backend;
  }
  return std::nullopt;
}

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool isWayland(const SessionFacts& facts) {
  return facts.sessionType == "wayland" || (facts.sessionType.empty() && !facts.waylandDisplay.empty());
}

}  // namespace

SessionFacts environmentFacts() {
  SessionFacts facts;
  facts.sessionType = variable("XDG_SESSION_TYPE");
  facts.waylandDisplay = variable("WAYLAND_DISPLAY");
  facts.x11Display = variable("DISPLAY");
  facts.currentDesktop = variable("XDG_CURRENT_DESKTOP");
  facts.sandboxed = ::access("/.flatpak-info", F_OK) == 0 || !variable("SNAP").empty();
  return facts;
}

BackendChoice chooseBackend(const SessionFacts& facts, std::optional<Backend> requested) {
  if (requested) return {requested, "requested with --backend"};
  const std::string desktop = facts.currentDesktop.empty() ? "an unnamed desktop" : facts.currentDesktop;
  if (isWayland(facts)) {
    if (facts.mutterOnBus && !facts.sandboxed) {
      return {Backend::gnome,
              "Wayland session of " + desktop + " with mutter's screen-cast and remote-desktop interfaces"};
    }
    if (facts.portalOnBus) {
      std::string why =
          facts.sandboxed ? "sandboxed" : "Wayland session of " + desktop + " without mutter's interfaces";
      return {Backend::portal, why + ": the desktop portals"};
    }
    if (!facts.x11Display.empty()) {
      return {Backend::x11, "Wayland session without mutter's interfaces or the portals: X display " +
                                facts.x11Display + " (only X clients can be seen and controlled)"};
    }
    return {std::nullopt, "Wayland session without mutter's interfaces, the portals or an X display"};
  }
  if (!facts.x11Display.empty()) return {Backend::x11, "X display " + facts.x11Display};
  if (facts.mutterOnBus) return {Backend::gnome, "no X display; mutter's interfaces are on the session bus"};
  if (facts.portalOnBus) return {Backend::portal, "no X display; the desktop portals are on the session bus"};
  return {std::nullopt, "no X display and no Wayland session"};
}

Permissions permissionsFor(Backend backend, const SessionFacts& facts, bool storedPortalToken) {
  switch (backend) {
  case Backend::x11: return {!facts.x11Display.empty(), !facts.x11Display.empty()};
  case Backend::gnome: return {facts.mutterOnBus, facts.mutterOnBus};
  case Backend::portal:
    // The remote-desktop portal keeps no choice (its first version): input is
    // asked for in every session, never granted beforehand.
    return {facts.portalOnBus && storedPortalToken, false};
  }
  return {};
}

}  // namespace marlinax::platform
