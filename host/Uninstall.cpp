#include "host/Uninstall.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host/DesktopEntry.h"
#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;

void removeFile(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

}  // namespace

Alerts::Alert uninstallAlert(bool zh) {
  if (zh) {
    return {"卸载 Quorvex Host？",
            "将停止远控服务、取消登录时启动，并把 App 移到废纸篓。",
            {"卸载", "取消"},
            "同时删除设置、令牌和日志"};
  }
  return {"Uninstall Quorvex Host?",
          "This stops the remote-control service, removes the login item and moves the app to the Trash.",
          {"Uninstall", "Cancel"},
          "Also delete settings, token and logs"};
}

MenuRegistration MenuRegistration::defaults() {
  const QDir data(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
  auto at = [&](const char* relative) {
    return fs::path(QFile::encodeName(data.absoluteFilePath(relative)).toStdString());
  };
  return {at("applications/com.quorvex.host.desktop"), {at("icons/hicolor/scalable/apps/com.quorvex.host.svg")}};
}

Uninstaller::Uninstaller(HostController& controller, Services services, MenuRegistration menu)
    : controller_(controller), services_(std::move(services)), menu_(std::move(menu)) {}

bool Uninstaller::moveToTrash(const fs::path& path) { return QFile::moveToTrash(QFile::decodeName(path.c_str())); }

void Uninstaller::run() {
  const Alerts::Answer answer = services_.alerts.show(uninstallAlert(controller_.chinese()));
  if (answer.button != 0) return;

  controller_.stopAndWait();
  services_.loginItem.setEnabled(false);
  if (answer.checked) {
    services_.tokens.removeAll();
    removeSettings();
    const fs::path& log = controller_.paths().log;
    removeFile(log);
    removeFile(fs::path(log.string() + ".1"));
  }
  removeMenuRegistration();
  services_.moveToTrash(controller_.paths().bundle);
  services_.quit();
}

void Uninstaller::removeSettings() {
  const QString path = services_.settings.path();
  {
    // Cleared and synced first: an instance of the same file elsewhere in the
    // process shares this cache and would write it back on its next sync.
    QSettings settings(path, QSettings::IniFormat);
    settings.clear();
    settings.sync();
  }
  QFile::remove(path);
}

void Uninstaller::removeMenuRegistration() {
  // Another copy of the application may have registered the entry since; its
  // entry and the icons that go with it stay.
  std::ifstream in(menu_.entry, std::ios::binary);
  if (in) {
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!desktop::execStarts(text, controller_.paths().bundle / "Contents/MacOS/QuorvexHost")) return;
    removeFile(menu_.entry);
  }
  for (const fs::path& icon : menu_.icons) removeFile(icon);
}

}  // namespace qx::host
