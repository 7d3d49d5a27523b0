#include "app/Preferences.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace marlinax::app {

Preferences::Preferences(QString key, bool defaultValue) : key_(std::move(key)), defaultValue_(defaultValue) {}

Preferences::Preferences(QString key, bool defaultValue, QString filePath)
    : key_(std::move(key)), defaultValue_(defaultValue), filePath_(std::move(filePath)) {}

std::optional<bool> Preferences::parseBoolean(const QString& text) {
  const QString word = text.trimmed();
  if (word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || word == QLatin1String("1")) return true;
  if (word.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || word == QLatin1String("0")) return false;
  return std::nullopt;
}

QString Preferences::filePath() const {
  if (!filePath_.isEmpty()) return filePath_;
  // The native format on Linux is INI text in a ".conf" file.
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Marlinax"),
                   QStringLiteral("marlinax"))
      .fileName();
}

bool Preferences::value() const {
  QSettings settings(filePath(), QSettings::IniFormat);
  const QVariant stored = settings.value(key_);
  // An INI file holds text; a list ("true, false") or a section is no Boolean.
  if (stored.typeId() != QMetaType::QString) return defaultValue_;
  return parseBoolean(stored.toString()).value_or(defaultValue_);
}

}  // namespace marlinax::app
