#include "app/ContentViewState.h"

#include <QMetaObject>

#include "app/DesktopLauncher.h"
#include "app/RepeatingTimer.h"
#include "app/SessionRunner.h"
#include "log/Log.h"
#include "platform/Permissions.h"

namespace marlinax::app {

ContentViewState::ContentViewState(AppEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), viewModel_(environment_.displays) {
  // Screen recording is tested first; accessibility only when it is granted.
  askForPermissions_ = bothGranted() ? false : !environment_.permissionsVisible.value();
  if (askForPermissions_ && environment_.refreshTimer)
    environment_.refreshTimer->start(kRefreshInterval, [this] { refresh(); });
}

ContentViewState::~ContentViewState() { shutdown(); }

bool ContentViewState::isGranted(Permission permission) const {
  return environment_.permissions && app::isGranted(*environment_.permissions, permission);
}

bool ContentViewState::bothGranted() const {
  return isGranted(Permission::screenRecording) && isGranted(Permission::accesibility);
}

void ContentViewState::shown() {
  if (started_ || shutDown_ || !environment_.session) return;
  started_ = true;
  // The runner calls these on its own threads; every one is queued to this
  // object, so the fields change on the GUI thread only. shutdown() stops the
  // runner before this object goes, so no call outlives it.
  server::HeadsetServerEvents events;
  events.listening = [this](std::uint16_t port) {
    QMetaObject::invokeMethod(
        this,
        [this, port] {
          listeningPort_ = port;
          emit listening(port);
          emit changed();
        },
        Qt::QueuedConnection);
  };
  events.connected = [this](const std::string& name, std::int64_t headsetVersion, std::int64_t ourVersion) {
    QMetaObject::invokeMethod(
        this,
        [this, name = QString::fromStdString(name), headsetVersion, ourVersion] {
          remote_ = RemoteInfo{name, headsetVersion, ourVersion};
          ++servedHeadsets_;
          emit headsetConnected(name);
          if (remote_->versionsDiffer())
            log::warning(("The headset \"" + name + "\" speaks protocol version " + QString::number(headsetVersion) +
                          ", this computer " + QString::number(ourVersion) + "; serving it anyway.")
                             .toStdString());
          emit changed();
        },
        Qt::QueuedConnection);
  };
  events.disconnected = [this](std::size_t stoppedStreams) {
    QMetaObject::invokeMethod(
        this,
        [this, stoppedStreams] {
          // A headset that completes its handshake replaces the served one,
          // whose end may be reported after the newcomer's arrival: the
          // window waits again only once no headset is served.
          if (servedHeadsets_ > 0 && --servedHeadsets_ == 0) remote_.reset();
          emit headsetDisconnected(stoppedStreams);
          emit changed();
        },
        Qt::QueuedConnection);
  };
  events.sessionFailed = [](const std::string& reason) { log::info("Session ended: " + reason + "."); };
  environment_.session->start(std::move(events));
}

void ContentViewState::createVirtualDisplay1() {
  if (button1Disabled_ || shutDown_) return;
  // Disabled before the display exists, and for the rest of the run.
  button1Disabled_ = true;
  emit changed();
  viewModel_.createVirtualDisplay(kVirtualDisplayNumber, [this] {
    if (environment_.launcher) environment_.launcher->openDisplaySettings();
  });
}

void ContentViewState::openHelp() {
  if (environment_.launcher) environment_.launcher->openHelp({});
}

void ContentViewState::close() {
  showAlert_ = true;
  emit changed();
}

void ContentViewState::cancelClose() {
  showAlert_ = false;
  emit changed();
}

void ContentViewState::closeApp() {
  showAlert_ = false;
  emit changed();
  quit();
}

void ContentViewState::quit() {
  shutdown();
  if (environment_.quit) environment_.quit();
}

void ContentViewState::closePermissions() { setAskForPermissions(false); }

void ContentViewState::requestPermission(Permission permission) {
  if (environment_.permissions && app::request(*environment_.permissions, permission)) return;
  if (environment_.launcher) environment_.launcher->openHelp(helpSection(permission));
}

void ContentViewState::refresh() {
  emit permissionsRefreshed();
  if (askForPermissions_) setAskForPermissions(!bothGranted());
}

void ContentViewState::setAskForPermissions(bool value) {
  if (value == askForPermissions_) return;
  askForPermissions_ = value;
  // Nothing shows the sheet again during the run, so its refresh ends here.
  if (!askForPermissions_ && environment_.refreshTimer) environment_.refreshTimer->stop();
  emit changed();
}

void ContentViewState::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (environment_.refreshTimer) environment_.refreshTimer->stop();
  // Connections end and capture stops before the virtual display goes, so
  // no stream is left capturing a display that no longer exists.
  if (environment_.session) environment_.session->stop();
  viewModel_.shutdown();
}

}  // namespace marlinax::app
