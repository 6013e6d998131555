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

}  // namespace texts
}  // namespace qx::host
