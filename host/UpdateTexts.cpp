#include "host/UpdateTexts.h"

namespace qx::host::texts {

std::string alertOK(bool zh) { return zh ? "好" : "OK"; }

std::string checkFailedTitle(bool zh) { return zh ? "检查更新失败" : "Couldn't check for updates"; }

std::string upToDateTitle(bool zh) { return zh ? "已是最新版本" : "You're up to date"; }

std::string upToDateText(const std::string& current, bool zh) {
  return zh ? "Quorvex Host " + current + " 是最新版本。" : "Quorvex Host " + current + " is the latest version.";
}

std::string updatePromptTitle(const std::string& latest, bool zh) {
  return zh ? "更新 Quorvex Host 到 " + latest + "？" : "Update Quorvex Host to " + latest + "?";
}

std::string updatePromptText(const std::string& current, bool zh) {
  return zh ? "当前版本 " + current + "。更新时远控会中断十几秒，之后 App 自动重新打开，设置和权限都保留。"
            : "You have " + current +
                  ". Remote control pauses for a few seconds while the app updates and reopens; settings and "
                  "permissions are kept.";
}

std::string updateButton(bool zh) { return zh ? "更新" : "Update"; }

std::string laterButton(bool zh) { return zh ? "稍后" : "Later"; }

std::string updaterReturnedNothing(int status, bool zh) {
  const std::string n = std::to_string(status);
  return zh ? "更新程序没有返回结果（退出码 " + n + "）" : "The updater returned nothing (exit code " + n + ")";
}

std::string folderNotWritable(bool zh) {
  return zh ? "App 所在的文件夹不可写，请重新运行安装包更新"
            : "The app's folder isn't writable; run the installer to update";
}

std::string downloadReturnedNoApp(bool zh) { return zh ? "下载结果不完整" : "The download returned no app"; }

std::string noCachesFolder(bool zh) {
  return zh ? "找不到缓存文件夹（HOME 和 XDG_CACHE_HOME 都不是绝对路径），无法下载更新"
            : "There is no caches folder to download into (neither HOME nor XDG_CACHE_HOME is an absolute path)";
}

std::string replaceFailed(bool zh) { return zh ? "替换 App 失败：" : "Couldn't replace the app: "; }

std::string summaryFailed(const std::string& message, bool zh) {
  return zh ? "更新失败：" + message : "Update failed: " + message;
}

std::string summaryChecking(bool zh) { return zh ? "正在检查…" : "Checking…"; }

std::string summaryDownloading(const std::string& version, bool zh) {
  return zh ? "正在下载 " + version + "…" : "Downloading " + version + "…";
}

std::string summaryInstalling(const std::string& version, bool zh) {
  return zh ? "正在安装 " + version + "…" : "Installing " + version + "…";
}

std::string summaryAvailable(const std::string& version, bool zh) {
  return zh ? version + "（可以更新）" : version + " (available)";
}

std::string summaryUpToDate(const std::string& time, bool zh) {
  return zh ? "已是最新（" + time + " 检查）" : "Up to date (checked " + time + ")";
}

std::string summaryNotChecked(bool zh) { return zh ? "尚未检查" : "Not checked yet"; }

std::string updateSignatureUnreadable(bool zh) {
  return zh ? "无法读取更新包的签名" : "Couldn't read the update's signature";
}

std::string updateSignatureInvalid(int status, bool zh) {
  return zh ? "更新包的签名无效（" + std::to_string(status) + "）"
            : "The update's signature is invalid (" + std::to_string(status) + ")";
}

std::string updateVersionMismatch(bool zh) {
  return zh ? "更新包的版本与清单不符" : "The update's version doesn't match the manifest";
}

}  // namespace qx::host::texts

namespace qx::host {

using signature::BundleVerdict;

std::optional<std::string> verdictMessage(const BundleVerdict& verdict, bool chinese) {
  switch (verdict.step) {
    case BundleVerdict::Step::accepted: return std::nullopt;
    case BundleVerdict::Step::unreadable: return texts::updateSignatureUnreadable(chinese);
    case BundleVerdict::Step::invalid: return texts::updateSignatureInvalid(static_cast<int>(verdict.status), chinese);
    case BundleVerdict::Step::versionMismatch: return texts::updateVersionMismatch(chinese);
  }
  return std::nullopt;
}

std::optional<std::string> verifyBundle(const std::filesystem::path& app, const std::string& expectedVersion,
                                        const std::optional<signature::PublicKey>& pinned, bool chinese) {
  return verdictMessage(signature::checkBundle(app, expectedVersion, pinned), chinese);
}

}  // namespace qx::host
