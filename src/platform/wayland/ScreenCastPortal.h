#pragma once

// The desktop's screen-cast portal (org.freedesktop.portal.ScreenCast): a
// session that casts the monitors the user chose. The first start shows the
// desktop's dialog; the restore token it hands back lets later starts skip it,
// so the token is kept under the user's state directory.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sd_bus_message;

namespace marlinax::platform::wayland {

class Bus;

// Where the restore token lives: $XDG_STATE_HOME/marlinax/screencast-restore-token,
// or ~/.local/state/... without XDG_STATE_HOME. Empty when neither variable is set.
std::filesystem::path restoreTokenPath(const char* stateHome, const char* home);

// The kept token (a UUID), read from / written to one file. A missing,
// unreadable or malformed file is no token.
class RestoreTokenStore {
 public:
  explicit RestoreTokenStore(std::filesystem::path path) : path_(std::move(path)) {}
  std::optional<std::string> load() const;
  // Replaces the file atomically (mode 600); false when it cannot be written.
  bool save(const std::string& token) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Whether a text is a UUID in its usual form (what the portal accepts as a token).
bool isRestoreToken(const std::string& text);

// One stream of a started cast.
struct PortalStream {
  std::uint32_t node = 0;
  int x = 0, y = 0, width = 0, height = 0;  // where the monitor lies, when the portal says
  bool hasGeometry = false;
};

class ScreenCastPortalSession {
 public:
  // Makes a session and selects every monitor, asking to keep the choice
  // (persist mode 2) and handing in `restoreToken` when there is one. Throws
  // BusError when the portal is missing or refuses.
  ScreenCastPortalSession(std::shared_ptr<Bus> bus, std::optional<std::string> restoreToken,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // A remote-desktop session instead (org.freedesktop.portal.RemoteDesktop):
  // keyboard and pointer, with every monitor cast so that pointer positions can
  // be given on a monitor. Its choice cannot be kept: every start asks.
  struct RemoteDesktop {};
  ScreenCastPortalSession(std::shared_ptr<Bus> bus, RemoteDesktop, std::chrono::milliseconds timeout);
  // Closes the session.
  ~ScreenCastPortalSession();
  ScreenCastPortalSession(const ScreenCastPortalSession&) = delete;
  ScreenCastPortalSession& operator=(const ScreenCastPortalSession&) = delete;

  // Starts the cast: without a valid restore token the desktop shows its
  // dialog and this waits for the user (up to the timeout). Throws BusError on
  // refusal, cancellation or timeout.
  void start();

  const std::vector<PortalStream>& streams() const { return streams_; }
  // The token to keep for the next start (the portal replaces it every time).
  const std::optional<std::string>& restoreToken() const { return newToken_; }
  // The PipeWire connection the streams are reachable through (owned here).
  int pipeWireFd();
  // The devices the user allowed (1 keyboard, 2 pointer), for a remote-desktop session.
  std::uint32_t devices() const { return devices_; }

  // A call on the remote-desktop session's interface with the session handle
  // first and then the arguments `append` adds (the Notify* methods). Throws BusError.
  void notify(const char* member, const std::function<void(sd_bus_message*)>& append);

 private:
  std::shared_ptr<Bus> bus_;
  std::chrono::milliseconds timeout_;
  std::string session_;
  std::vector<PortalStream> streams_;
  std::optional<std::string> newToken_;
  const char* interface_ = "org.freedesktop.portal.ScreenCast";
  std::uint32_t devices_ = 0;
  int pipeWireFd_ = -1;
  unsigned requests_ = 0;
};

}  // namespace marlinax::platform::wayland
