#include "app/DesktopLauncher.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <array>

#include "log/Log.h"

namespace marlinax::app {
namespace {

struct DesktopSettings {
  // Matched against each entry of XDG_CURRENT_DESKTOP, case-insensitively.
  std::initializer_list<const char*> desktopNames;
  // The first installed program wins.
  std::initializer_list<SettingsProgram> programs;
};

const std::array<DesktopSettings, 3>& knownDesktops() {
  static const std::array<DesktopSettings, 3> desktops{{
      {{"GNOME", "Unity", "GNOME-Flashback"}, {{"gnome-control-center", {"display"}}}},
      {{"KDE"}, {{"kcmshell6", {"kcm_kscreen"}}, {"kcmshell5", {"kcm_kscreen"}}, {"systemsettings", {"kcm_kscreen"}}}},
      {{"XFCE"}, {{"xfce4-display-settings", {}}}},
  }};
  return desktops;
}

}  // namespace

std::variant<SettingsProgram, QString> chooseDisplaySettings(const QString& currentDesktop,
                                                             const std::function<bool(const QString&)>& isInstalled) {
  const QStringList names = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
  QStringList missing;
  for (const QString& name : names) {
    for (const DesktopSettings& desktop : knownDesktops()) {
      bool matches = false;
      for (const char* known : desktop.desktopNames)
        matches = matches || name.trimmed().compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
      if (!matches) continue;
      for (const SettingsProgram& program : desktop.programs) {
        if (isInstalled(program.program)) return program;
        missing << program.program;
      }
    }
  }
  const SettingsProgram arandr{QStringLiteral("arandr"), {}};
  if (isInstalled(arandr.program)) return arandr;
  if (!missing.isEmpty())
    return QStringLiteral("the desktop's display settings (%1) and arandr are not installed").arg(missing.join(", "));
  if (currentDesktop.isEmpty())
    return QStringLiteral("XDG_CURRENT_DESKTOP names no desktop and arandr is not installed");
  return QStringLiteral("the desktop \"%1\" has no known display settings and arandr is not installed")
      .arg(currentDesktop);
}

QStringList helpPageCandidates() {
  return {QStringLiteral(MARLINAX_HELP_INSTALLED), QStringLiteral(MARLINAX_HELP_SOURCE)};
}

std::optional<QString> findHelpPage(const QStringList& candidates) {
  for (const QString& path : candidates) {
    if (QFileInfo(path).isFile()) return path;
  }
  return std::nullopt;
}

QUrl helpPageUrl(const QString& path, const QString& section) {
  QUrl url = QUrl::fromLocalFile(path);
  if (!section.isEmpty()) url.setFragment(section);
  return url;
}

bool SystemDesktopLauncher::openHelp(const QString& section) {
  const QStringList candidates = helpPageCandidates();
  const std::optional<QString> page = findHelpPage(candidates);
  if (!page) {
    log::warning(("The help page is not installed (looked for " + candidates.join(", ") + ").").toStdString());
    return false;
  }
  const QUrl url = helpPageUrl(*page, section);
  if (!QDesktopServices::openUrl(url)) {
    log::warning(("The desktop could not open " + url.toString() + ".").toStdString());
    return false;
  }
  return true;
}

bool SystemDesktopLauncher::openDisplaySettings() {
  const auto choice = chooseDisplaySettings(qEnvironmentVariable("XDG_CURRENT_DESKTOP"), [](const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
  });
  if (const QString* reason = std::get_if<QString>(&choice)) {
    log::info(("Display settings not opened: " + *reason + ".").toStdString());
    return false;
  }
  const auto& program = std::get<SettingsProgram>(choice);
  if (!QProcess::startDetached(program.program, program.arguments)) {
    log::warning(("Could not start " + program.program + ".").toStdString());
    return false;
  }
  log::info(
      ("Opened the display settings: " + (QStringList{program.program} + program.arguments).join(' ')).toStdString());
  return true;
}

}  // namespace marlinax::app
