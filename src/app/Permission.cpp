#include "app/Permission.h"

#include "platform/Permissions.h"

namespace marlinax::app {

QString PermissionText::title(Permission permission) {
  switch (permission) {
  case Permission::screenRecording: return tr("Screen / Audio Recording");
  case Permission::accesibility: return tr("Accessibility");
  }
  return {};
}

QString PermissionText::description(Permission permission) {
  switch (permission) {
  case Permission::screenRecording:
    return tr("Permission is required for display discovery and screen sharing. Without this, you won't see "
              "anything.");
  case Permission::accesibility:
    return tr("Permission is required for a set of remote control events. Without this, you won't be able to "
              "control the computer.");
  }
  return {};
}

QString helpSection(Permission permission) {
  switch (permission) {
  case Permission::screenRecording: return QStringLiteral("permission-screen-recording");
  case Permission::accesibility: return QStringLiteral("permission-accessibility");
  }
  return {};
}

bool isGranted(platform::PermissionProbe& probe, Permission permission) {
  return permission == Permission::screenRecording ? probe.screenRecordingGranted() : probe.inputGranted();
}

bool request(platform::PermissionProbe& probe, Permission permission) {
  return permission == Permission::screenRecording ? probe.requestScreenRecording() : probe.requestInput();
}

}  // namespace marlinax::app
