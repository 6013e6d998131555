#include "host/SettingsStore.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

namespace qx::host {
namespace {

const QString kHostSettings = QStringLiteral("hostSettings");
const QString kConfigured = QStringLiteral("configured");
const QString kAutoCheckUpdates = QStringLiteral("autoCheckUpdates");
const QString kShowNotifications = QStringLiteral("showNotifications");
const QString kUpdateURL = QStringLiteral("updateURL");
const QString kLtr = QStringLiteral("ltr");

// The value as text, absent for anything QSettings did not read as one plain
// string (a missing key, an unquoted comma list, an @ByteArray or @Variant).
std::optional<QString> storedText(const QSettings& store, const QString& key) {
  const QVariant value = store.value(key);
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString();
}

// Decided by the text alone: QVariant::toBool() would read "no" as true.
bool storedBool(const QSettings& store, const QString& key, bool fallback) {
  const std::optional<QString> text = storedText(store, key);
  if (text == QLatin1String("true")) return true;
  if (text == QLatin1String("false")) return false;
  return fallback;
}

QString boolText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

}  // namespace

SettingsStore::SettingsStore(QString iniPath) : path_(std::move(iniPath)) {}

QString SettingsStore::defaultPath() {
  // The same file QSettings("Quorvex", "QuorvexHost") uses natively, which
  // also makes a relative $XDG_CONFIG_HOME absolute.
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
      .absoluteFilePath(QStringLiteral("Quorvex/QuorvexHost.conf"));
}

HostSettings SettingsStore::load() const {
  const QSettings store(path_, QSettings::IniFormat);
  const QVariant value = store.value(kHostSettings);
  QByteArray json;
  if (value.typeId() == QMetaType::QString) {
    json = value.toString().toUtf8();
  } else if (value.typeId() == QMetaType::QByteArray) {
    json = value.toByteArray();
  } else {
    return {};
  }
  return HostSettings::fromJson(std::string_view(json.constData(), static_cast<std::size_t>(json.size())))
      .value_or(HostSettings{});
}

void SettingsStore::save(const HostSettings& settings) {
  QSettings store(path_, QSettings::IniFormat);
  // Stored as text rather than @ByteArray(...) so the file stays readable and
  // editable by hand.
  store.setValue(kHostSettings, QString::fromStdString(settings.toJson()));
  store.setValue(kConfigured, boolText(true));
}

bool SettingsStore::configured() const { return flag(kConfigured); }

bool SettingsStore::autoCheckUpdates() const {
  return storedBool(QSettings(path_, QSettings::IniFormat), kAutoCheckUpdates, true);
}

void SettingsStore::setAutoCheckUpdates(bool on) {
  QSettings(path_, QSettings::IniFormat).setValue(kAutoCheckUpdates, boolText(on));
}

bool SettingsStore::showNotifications() const {
  return storedBool(QSettings(path_, QSettings::IniFormat), kShowNotifications, true);
}

void SettingsStore::setShowNotifications(bool on) {
  QSettings(path_, QSettings::IniFormat).setValue(kShowNotifications, boolText(on));
}

std::optional<std::string> SettingsStore::updateURLOverride() const {
  const std::optional<QString> text = storedText(QSettings(path_, QSettings::IniFormat), kUpdateURL);
  if (!text || text->isEmpty()) return std::nullopt;
  return text->toStdString();
}

bool SettingsStore::ltr() const { return storedBool(QSettings(path_, QSettings::IniFormat), kLtr, true); }

bool SettingsStore::flag(const QString& key) const {
  return storedBool(QSettings(path_, QSettings::IniFormat), key, false);
}

void SettingsStore::setFlag(const QString& key, bool value) {
  QSettings(path_, QSettings::IniFormat).setValue(key, boolText(value));
}

}  // namespace qx::host
