#include "host/Uninstall.h"

#include <sys/stat.h>

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
#include "host/UpdateTexts.h"
#include "signature/bundle_signature.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;

void removeFile(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

std::optional<std::string> readSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > (1 << 20)) return std::nullopt;
  }
  return text;
}

bool makePrivateDirectory(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return !ec && fs::is_directory(fs::symlink_status(dir, ec)) && ::chmod(dir.c_str(), 0700) == 0;
}

}  // namespace

Alerts::Alert uninstallAlert(bool zh) {
  if (zh) {
    return {"卸载 Quorvex Host？",
            "将停止远控服务、取消登录时启动，并把 App 移到废纸篓。",
            {"卸载", "取消"},
            "同时删除设置、令牌和日志",
            true};
  }
  return {"Uninstall Quorvex Host?",
          "This stops the remote-control service, removes the login item and moves the app to the Trash.",
          {"Uninstall", "Cancel"},
          "Also delete settings, token and logs",
          true};
}

Alerts::Alert folderKeptAlert(FolderKept why, const fs::path& folder, bool zh) {
  std::string text;
  switch (why) {
    case FolderKept::notABundle:
      text = zh ? "程序所在的文件夹不是 Quorvex Host 应用包，已保留在原处："
                : "The program's folder was left in place because it is not a Quorvex Host bundle: ";
      break;
    case FolderKept::notTrashed:
      text = zh ? "无法将程序所在的文件夹移到废纸篓，已保留在原处："
                : "The program's folder could not be moved to the Trash and was left in place: ";
      break;
  }
  return {text + folder.string(), {}, {texts::alertOK(zh)}, {}, true};
}

bool isHostBundle(const fs::path& folder) {
  std::error_code ec;
  if (!folder.filename().string().ends_with(".app")) return false;
  if (!fs::is_regular_file(fs::symlink_status(folder / "Contents/MacOS/QuorvexHost", ec))) return false;
  const std::optional<std::string> plist = readSmallFile(folder / "Contents/Info.plist");
  return plist && signature::infoPlistString(*plist, "CFBundleIdentifier") == signature::bundleIdentifier;
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

bool Uninstaller::moveToTrash(const fs::path& path) {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (data.isEmpty() || QDir::isRelativePath(data)) return false;
  const fs::path trash = fs::path(QFile::encodeName(data).toStdString()) / "Trash";
  if (!makePrivateDirectory(trash / "files") || !makePrivateDirectory(trash / "info") || ::chmod(trash.c_str(), 0700))
    return false;
  QString moved;
  if (!QFile::moveToTrash(QFile::decodeName(path.c_str()), &moved)) return false;
  const fs::path inTrash(QFile::encodeName(moved).toStdString());
  std::error_code ec;
  if (fs::equivalent(inTrash.parent_path(), trash / "files", ec)) return true;
  // Somewhere else (a trash of its own beside the working folder): back.
  fs::rename(inTrash, path, ec);
  removeFile(inTrash.parent_path().parent_path() / "info" / (inTrash.filename().string() + ".trashinfo"));
  return false;
}

void Uninstaller::run() {
  const Alerts::Answer answer = services_.alerts.show(uninstallAlert(controller_.chinese()));
  if (answer.button != 0) return;

  controller_.stopAndWait();
  services_.loginItem.setEnabled(false);
  if (answer.checked) {
    removeSettings();
    const fs::path& log = controller_.paths().log;
    removeFile(log);
    removeFile(fs::path(log.string() + ".1"));
  }
  removeMenuRegistration();
  const fs::path& bundle = controller_.paths().bundle;
  // Started from an unpacked tree, two levels up may be any folder at all.
  if (!isHostBundle(bundle)) {
    services_.alerts.show(folderKeptAlert(FolderKept::notABundle, bundle, controller_.chinese()));
  } else if (!services_.moveToTrash(bundle)) {
    services_.alerts.show(folderKeptAlert(FolderKept::notTrashed, bundle, controller_.chinese()));
  }
  if (!answer.checked) {
    services_.quit();
    return;
  }
  // The keyring answers later; quitting before it has could leave the token.
  services_.tokens.removeAll(services_.quit);
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
