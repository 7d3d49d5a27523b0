#pragma once

// Opening things on the user's desktop: the product's help page (installed
// with it) and the desktop's display settings, which differ per desktop.

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>
#include <variant>

namespace marlinax::app {

class DesktopLauncher {
 public:
  virtual ~DesktopLauncher() = default;
  // The help page, at `section` when not empty. False when it could not be
  // opened (the reason is logged).
  virtual bool openHelp(const QString& section) = 0;
  // The desktop's display settings. False when there is none to open (the
  // reason is logged).
  virtual bool openDisplaySettings() = 0;
};

struct SettingsProgram {
  QString program;
  QStringList arguments;
  bool operator==(const SettingsProgram&) const = default;
};

// Which display-settings program to start on the desktop that
// XDG_CURRENT_DESKTOP names (a colon-separated list, most specific first),
// given which programs are installed. Without one: why not, in a sentence.
std::variant<SettingsProgram, QString> chooseDisplaySettings(const QString& currentDesktop,
                                                             const std::function<bool(const QString&)>& isInstalled);

// The help page: the installed copy when it exists, else the source tree's.
std::optional<QString> findHelpPage(const QStringList& candidates);
QStringList helpPageCandidates();
QUrl helpPageUrl(const QString& path, const QString& section);

// Opens through the desktop's URL handler and starts programs detached.
class SystemDesktopLauncher final : public DesktopLauncher {
 public:
  bool openHelp(const QString& section) override;
  bool openDisplaySettings() override;
};

}  // namespace marlinax::app
