#pragma once

// A Boolean preference the user may store in the product's configuration file
// ($XDG_CONFIG_HOME/Marlinax/marlinax.conf, section [General]). The program
// only reads it, afresh on every read, so an edit takes effect at the next
// look. "true"/"false" in any case and "1"/"0" are Booleans; anything else,
// like no value at all, gives the default.

#include <QString>
#include <optional>

namespace marlinax::app {

class Preferences {
 public:
  // Reads from the product's configuration file.
  Preferences(QString key, bool defaultValue);
  // Reads from the given INI file instead (tests).
  Preferences(QString key, bool defaultValue, QString filePath);

  bool value() const;
  const QString& key() const { return key_; }
  // Where the value is read from.
  QString filePath() const;

  // The Boolean a stored text stands for, if it stands for one.
  static std::optional<bool> parseBoolean(const QString& text);

 private:
  QString key_;
  bool defaultValue_;
  QString filePath_;  // empty: the product's file
};

}  // namespace marlinax::app
