#include "host/HostTexts.h"

#include <QLocale>
#include <QStringList>

namespace qx::host {

bool chineseFor(const std::vector<std::string>& preferredLanguages) {
  return !preferredLanguages.empty() && preferredLanguages.front().starts_with("zh");
}

bool isChinese() {
  static const bool chinese = [] {
    std::vector<std::string> languages;
    for (const QString& language : QLocale::system().uiLanguages()) languages.push_back(language.toStdString());
    return chineseFor(languages);
  }();
  return chinese;
}

namespace texts {

std::string incompleteInstall(bool zh) {
  return zh ? "安装不完整：找不到 quorvex-webrtc-server" : "Incomplete install: quorvex-webrtc-server missing";
}

std::string processEnd(const ProcessEnd& end, bool zh) {
  const std::string n = std::to_string(end.status);
  if (end.reason == ProcessEnd::Reason::signal) return zh ? "被信号 " + n + " 结束" : "killed by signal " + n;
  return zh ? "退出码 " + n : "exit code " + n;
}

std::string keyringUnreadable(bool zh) {
  return zh ? "无法从钥匙环读取访问令牌" : "Couldn't read the access token from the keyring";
}

std::string keyringLocked(bool zh) {
  return zh ? "钥匙环未解锁，读不到访问令牌；选择“重启服务”可再次解锁并启动"
            : "The keyring stayed locked; choose Restart Service to unlock it and start";
}

std::string unquotableInstallPath(bool zh) {
  return zh ? "请把 Quorvex Host 移到路径中不同时含有 ' 和 \" 的文件夹"
            : "Move Quorvex Host to a folder whose path doesn't contain both ' and \"";
}

std::string noTrayNotice(bool zh) {
  return zh ? "Quorvex Host 正在运行。此桌面没有托盘：从应用程序菜单再次启动 Quorvex Host 即可打开设置。"
            : "Quorvex Host is running. This desktop has no tray: start Quorvex Host again from the application menu "
              "to open its settings.";
}

std::string updateAvailableNotice(const std::string& version, bool zh) {
  return zh ? "Quorvex Host " + version + " 已可更新。" : "Quorvex Host " + version + " is available.";
}

std::string updatedNotice(const std::string& version, bool zh) {
  return zh ? "Quorvex Host 已更新到 " + version + "。" : "Quorvex Host was updated to " + version + ".";
}

std::string keepsStoppingNotice(bool zh) {
  return zh ? "服务反复停止，请查看日志。" : "The service keeps stopping. See Show Log.";
}

std::string deviceConnectedNotice(bool zh) { return zh ? "有设备已连接。" : "A device connected."; }

std::string showNotifications(bool zh) { return zh ? "显示通知" : "Show notifications"; }

std::string showToken(bool zh) { return zh ? "显示" : "Show"; }

std::string openOnPhone(bool zh) { return zh ? "在手机上打开：" : "Open on your phone: "; }

std::string tokenTooLong(bool zh) {
  return zh ? "令牌过长（最多 32767 个字符）" : "The token is too long (at most 32767 characters)";
}

std::string xServerRefused(bool zh) { return zh ? "X 服务器拒绝了连接" : "The X server refused the connection"; }

std::string noXtest(bool zh) { return zh ? "X 服务器没有 XTEST 扩展" : "The X server has no XTEST extension"; }

}  // namespace texts

bool waylandSession(std::string_view waylandDisplay, std::string_view sessionType) {
  return !waylandDisplay.empty() || sessionType == "wayland";
}

bool waylandSession() {
  return waylandSession(qEnvironmentVariable("WAYLAND_DISPLAY").toStdString(),
                        qEnvironmentVariable("XDG_SESSION_TYPE").toStdString());
}

std::optional<std::string> viewerAddress(const HostSettings& settings, const std::vector<LocalAddress>& addresses) {
  if (settings.validationError()) return std::nullopt;
  std::string host;
  if (const auto bound = settings.bindHost()) {
    host = bound->find(':') != std::string::npos ? "[" + *bound + "]" : *bound;
  } else if (!addresses.empty()) {
    host = addresses.front().ip;
  } else {
    return std::nullopt;
  }
  return "http://" + host + ":" + std::to_string(*settings.port()) + "/";
}

}  // namespace qx::host
