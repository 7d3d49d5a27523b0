#pragma once

// The two things the product needs from the desktop, as the permissions sheet
// shows them. The case names are the product's own (`accesibility` included).

#include <QCoreApplication>
#include <QString>
#include <array>

namespace marlinax::platform {
class PermissionProbe;
}

namespace marlinax::app {

enum class Permission { screenRecording, accesibility };

inline constexpr std::array<Permission, 2> allPermissions{Permission::screenRecording, Permission::accesibility};

class PermissionText {
  Q_DECLARE_TR_FUNCTIONS(PermissionText)

 public:
  // The row label; a permission's identity.
  static QString title(Permission permission);
  static QString description(Permission permission);
};

// The help page's section that explains how to obtain the permission.
QString helpSection(Permission permission);

bool isGranted(platform::PermissionProbe& probe, Permission permission);
// Asks the desktop where it can ask; false when it cannot.
bool request(platform::PermissionProbe& probe, Permission permission);

}  // namespace marlinax::app
