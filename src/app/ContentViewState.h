#pragma once

// Everything the main window shows and does, without widgets: its state
// fields, the actions of its buttons, the permissions sheet's refresh and the
// session's events. The widgets render this object and forward clicks to it;
// tests drive it directly. Lives on the GUI thread: every field changes there,
// and events from the session's threads are queued to it.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/ContentViewViewModel.h"
#include "app/Permission.h"
#include "app/Preferences.h"
#include "app/RepeatingTimer.h"

namespace marlinax::platform {
class PermissionProbe;
}

namespace marlinax::app {

class DesktopLauncher;
class SessionRunner;

// The connected headset as the window knows it.
struct RemoteInfo {
  QString name;
  std::int64_t headsetVersion = 0;
  std::int64_t ourVersion = 0;
  bool versionsDiffer() const { return headsetVersion != ourVersion; }
};

struct AppEnvironment {
  std::shared_ptr<platform::PermissionProbe> permissions;
  std::shared_ptr<SessionRunner> session;
  displays::Environment displays;
  std::shared_ptr<DesktopLauncher> launcher;
  // Drives the permissions sheet's refresh.
  std::unique_ptr<RepeatingTimer> refreshTimer;
  Preferences permissionsVisible{QStringLiteral("PermissionsVisible"), false};
  // Ends the event loop (QCoreApplication::quit in the product).
  std::function<void()> quit;
};

class ContentViewState : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kRefreshInterval{1000};
  static constexpr std::uint16_t kVirtualDisplayNumber = 1;

  explicit ContentViewState(AppEnvironment environment, QObject* parent = nullptr);
  ~ContentViewState() override;  // shuts down

  ContentViewViewModel& viewModel() { return viewModel_; }
  bool button1Disabled() const { return button1Disabled_; }
  const std::optional<RemoteInfo>& remote() const { return remote_; }
  bool askForPermissions() const { return askForPermissions_; }
  bool showAlert() const { return showAlert_; }
  bool permissionsVisible() const { return environment_.permissionsVisible.value(); }
  std::optional<std::uint16_t> listeningPort() const { return listeningPort_; }
  bool isGranted(Permission permission) const;
  bool bothGranted() const;
  bool shutDown() const { return shutDown_; }

  // The window's actions.
  void shown();  // starts the session loop the first time
  void createVirtualDisplay1();
  void openHelp();
  void close();  // asks for confirmation
  void cancelClose();
  void closeApp();  // confirmed
  void quit();      // the quit shortcut or the window's close
  // The sheet's actions.
  void closePermissions();
  void requestPermission(Permission permission);

 signals:
  // Any field above changed.
  void changed();
  // Once a second while the sheet is shown: re-test the permissions.
  void permissionsRefreshed();
  // The session's events, after the fields changed (for the program's
  // standard-output lines).
  void listening(std::uint16_t port);
  void headsetConnected(const QString& name);
  void headsetDisconnected(std::size_t stoppedStreams);

 private:
  void refresh();
  void setAskForPermissions(bool value);
  void shutdown();

  AppEnvironment environment_;
  ContentViewViewModel viewModel_;
  bool button1Disabled_ = false;
  std::optional<RemoteInfo> remote_;
  int servedHeadsets_ = 0;  // connected minus disconnected events
  bool askForPermissions_ = false;
  bool showAlert_ = false;

  bool started_ = false;
  bool shutDown_ = false;
  std::optional<std::uint16_t> listeningPort_;
};

}  // namespace marlinax::app
