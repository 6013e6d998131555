#pragma once

// The host's settings and preferences in the per-user settings file (QSettings,
// INI): "hostSettings" (the JSON form of HostSettings), "configured",
// "autoCheckUpdates", "showNotifications", "updateURL", "ltr", and the permission request flags.
// Every call goes to the file; nothing is cached here. Typed reads are decided
// by the stored text alone: a Bool is exactly "true" or "false", anything else
// reads as the key's default. Main thread only.

#include <QString>
#include <optional>
#include <string>

#include "HostCore/HostSettings.h"

namespace qx::host {

class SettingsStore {
 public:
  // `iniPath` is the settings file; production passes defaultPath().
  explicit SettingsStore(QString iniPath);

  // $XDG_CONFIG_HOME (default ~/.config) + "/Quorvex/QuorvexHost.conf".
  static QString defaultPath();

  // The stored settings, or the full defaults when missing or undecodable
  // (the stored bytes are left alone).
  HostSettings load() const;
  // Stores the JSON form and marks the application configured.
  void save(const HostSettings& settings);

  bool configured() const;        // false unless "true" is stored
  bool autoCheckUpdates() const;  // true unless "false" is stored
  void setAutoCheckUpdates(bool on);
  bool showNotifications() const;  // true unless "false" is stored
  void setShowNotifications(bool on);
  std::optional<std::string> updateURLOverride() const;  // absent when missing, empty or not text
  bool ltr() const;                                      // true unless "false" is stored

  // A Bool flag that reads false unless "true" is stored (permission flags).
  bool flag(const QString& key) const;
  void setFlag(const QString& key, bool value);

  const QString& path() const { return path_; }

 private:
  QString path_;
};

}  // namespace qx::host
