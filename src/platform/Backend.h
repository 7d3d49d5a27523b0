#pragma once

// Which window system the server works with: chosen at start from the session
// the process runs in, or named by the user.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace marlinax::platform {

enum class Backend {
  x11,     // an X server: RandR, MIT-SHM, DAMAGE, XTEST
  gnome,   // a GNOME Wayland session: mutter's D-Bus interfaces
  portal,  // any Wayland desktop through the screen-cast and remote-desktop portals
};

std::string_view backendName(Backend backend);
// "x11", "gnome" or "portal"; nothing for anything else.
std::optional<Backend> parseBackend(std::string_view name);

// What the choice looks at.
struct SessionFacts {
  std::string sessionType;     // $XDG_SESSION_TYPE
  std::string waylandDisplay;  // $WAYLAND_DISPLAY
  std::string x11Display;      // $DISPLAY
  std::string currentDesktop;  // $XDG_CURRENT_DESKTOP (colon-separated list)
  bool mutterOnBus = false;    // org.gnome.Mutter.ScreenCast, .RemoteDesktop and .DisplayConfig are owned
  bool portalOnBus = false;    // org.freedesktop.portal.Desktop is owned or can be started
  bool sandboxed = false;      // running inside Flatpak (/.flatpak-info) or Snap
};

struct BackendChoice {
  std::optional<Backend> backend;  // none: nothing usable was found
  std::string reason;              // one sentence for the start-up line
};

// The environment's part of the facts (the bus part is left false).
SessionFacts environmentFacts();

// The choice: the requested backend when given; otherwise on a Wayland session
// mutter's interfaces when they are on the bus and the process is not
// sandboxed, else the portals when they are there; X11 when there is an X
// display (on a Wayland session that is XWayland, which sees only X clients,
// so it comes last there).
BackendChoice chooseBackend(const SessionFacts& facts, std::optional<Backend> requested = std::nullopt);

// What the user has granted as far as the system lets us tell without asking:
// screen recording when a cast can start without a dialog, input when a
// remote-desktop session can be had without asking (never through the portals,
// which ask in every session).
struct Permissions {
  bool screenRecording = false;
  bool accessibility = false;
};
// `storedPortalToken`: a restore token of the screen-cast portal is kept.
Permissions permissionsFor(Backend backend, const SessionFacts& facts, bool storedPortalToken);

}  // namespace marlinax::platform
