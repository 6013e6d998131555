#include "host/MenuTexts.h"

#include <algorithm>
#include <chrono>

namespace qx::host {
namespace {

// Signs with their text-presentation selector.
constexpr std::string_view warn = "\u26A0\uFE0E";
constexpr std::string_view up = "\u2B06\uFE0E";
constexpr std::string_view down = "\u2B07\uFE0E";
constexpr std::string_view ellipsis = "\u2026";

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text += part;
  return text;
}

std::string pick(bool zh, std::string_view en, std::string_view cn) { return std::string(zh ? cn : en); }

}  // namespace

namespace menu {

std::int64_t countdownSeconds(TimePoint now, TimePoint until) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
  if (left <= 0) return 1;
  constexpr std::int64_t second = 1'000'000'000;
  return std::max<std::int64_t>(1, left / second + (left % second != 0 ? 1 : 0));
}

std::string statusLine(const std::optional<Problem>& problem, const RunState& state, std::int64_t connectedClients,
                       const HostSettings& settings, TimePoint now, bool zh) {
  if (problem == Problem::screenRecordingDenied) {
    return cat({warn, zh ? " 没有屏幕录制权限，无法采集画面" : " No Screen Recording permission: capture fails"});
  }
  if (problem == Problem::portInUse) {
    const std::string port = std::to_string(settings.port().value_or(0));
    return zh ? cat({warn, " 端口 ", port, " 被占用（是否有其他程序在用？）"})
              : cat({warn, " Port ", port, " is in use (is another program using it?)"});
  }
  if (const auto* waiting = state.get<RunState::Waiting>()) {
    const std::string s = std::to_string(countdownSeconds(now, waiting->until));
    return zh ? cat({"○ 服务已退出（", waiting->lastExit, "），", s, " 秒后重启"})
              : cat({"○ Service exited (", waiting->lastExit, "), restarting in ", s, "s"});
  }
  if (const auto* failed = state.get<RunState::Failed>()) return cat({warn, " ", failed->message});
  if (state.is<RunState::NotConfigured>()) return pick(zh, "○ Not set up yet", "○ 尚未完成设置");
  if (state.is<RunState::Stopped>()) return pick(zh, "○ Stopped", "○ 已停止");
  if (connectedClients == 1) return pick(zh, "● Running · 1 device connected", "● 运行中 · 1 台设备已连接");
  if (connectedClients == 0) return pick(zh, "● Running · waiting for a device", "● 运行中 · 等待连接");
  const std::string c = std::to_string(connectedClients);
  return zh ? cat({"● 运行中 · ", c, " 台设备已连接"}) : cat({"● Running · ", c, " devices connected"});
}

std::string kindLabel(LocalAddress::Kind kind, bool zh) {
  switch (kind) {
    case LocalAddress::Kind::tailnet: return pick(zh, "tailnet · click to copy", "Quorvex · 点按复制");
    case LocalAddress::Kind::lan: return pick(zh, "LAN · click to copy", "局域网 · 点按复制");
    case LocalAddress::Kind::other: break;
  }
  return pick(zh, "click to copy", "点按复制");
}

std::string addressRow(const LocalAddress& address, std::int64_t port, bool zh) {
  return cat({address.ip, ":", std::to_string(port), "   ", kindLabel(address.kind, zh)});
}

bool showsAddresses(const RunState& state, const HostSettings& settings) {
  return state.is<RunState::Running>() && settings.port().has_value();
}

bool needsAttention(const std::optional<Problem>& problem, bool screenRecording, const RunState& state) {
  return problem.has_value() || !screenRecording || !state.is<RunState::Running>();
}

TrayIcon trayIcon(bool needsAttention, bool updateAvailable) {
  if (needsAttention) return TrayIcon::attention;
  return updateAvailable ? TrayIcon::update : TrayIcon::display;
}

std::string themeIconName(TrayIcon icon) {
  switch (icon) {
    case TrayIcon::attention: return "dialog-warning";
    case TrayIcon::update: return "software-update-available";
    case TrayIcon::display: break;
  }
  return "video-display";
}

std::string fallbackIconFile(TrayIcon icon) {
  switch (icon) {
    case TrayIcon::attention: return "tray-attention.svg";
    case TrayIcon::update: return "tray-update.svg";
    case TrayIcon::display: break;
  }
  return "tray-display.svg";
}

std::optional<UpdateItem> updateItem(const UpdatePhase& phase, const std::optional<UpdateCheck>& availableUpdate,
                                     bool zh) {
  using Case = UpdatePhase::Case;
  switch (phase.state) {
    case Case::downloading:
      return UpdateItem{zh ? cat({down, " 正在下载更新 ", phase.text, ellipsis})
                           : cat({down, " Downloading update ", phase.text, ellipsis}),
                        UpdateItem::Action::none};
    case Case::installing:
      return UpdateItem{zh ? cat({down, " 正在安装更新 ", phase.text, ellipsis})
                           : cat({down, " Installing update ", phase.text, ellipsis}),
                        UpdateItem::Action::none};
    case Case::failed:
      return UpdateItem{zh ? cat({warn, " 更新失败：", phase.text}) : cat({warn, " Update failed: ", phase.text}),
                        availableUpdate ? UpdateItem::Action::promptUpdate : UpdateItem::Action::checkForUpdates};
    case Case::idle:
    case Case::checking: break;
  }
  if (!availableUpdate || !availableUpdate->latest) return std::nullopt;
  const std::string& v = *availableUpdate->latest;
  return UpdateItem{zh ? cat({up, " 更新到 ", v, ellipsis}) : cat({up, " Update to ", v, ellipsis}),
                    UpdateItem::Action::promptUpdate};
}

std::string screenRecordingRow(bool allowed, bool zh) {
  if (allowed) return pick(zh, "✓ Screen Recording", "✓ 屏幕录制");
  return zh ? cat({warn, " 屏幕录制：未授权，去授权…"}) : cat({warn, " Screen Recording: not allowed — Allow…"});
}

std::string accessibilityRow(bool allowed, bool zh) {
  if (allowed) return pick(zh, "✓ Accessibility (remote input)", "✓ 辅助功能（远程键鼠）");
  return zh ? cat({warn, " 辅助功能（远程键鼠）：未授权，去授权…"})
            : cat({warn, " Accessibility (remote input): not allowed — Allow…"});
}

std::string tooltip(const std::string& statusLine) { return "Quorvex Host — " + statusLine; }
std::string relaunchHint(bool zh) {
  return pick(zh, "Allowed in System Settings? Relaunch to apply", "已在系统设置里允许？重启 Quorvex Host 生效");
}
std::string settings(bool zh) { return pick(zh, "Settings…", "设置…"); }
std::string showLog(bool zh) { return pick(zh, "Show Log", "查看日志"); }
std::string launchAtLogin(bool zh) { return pick(zh, "Launch at Login", "登录时启动"); }
std::string version(const std::string& currentVersion) { return "Quorvex Host " + currentVersion; }
std::string checkForUpdates(bool zh) { return pick(zh, "Check for Updates…", "检查更新…"); }
bool checkEnabled(const UpdatePhase& phase) { return phase.state != UpdatePhase::Case::checking && !phase.busy(); }
std::string restartService(bool zh) { return pick(zh, "Restart Service", "重启服务"); }
std::string uninstall(bool zh) { return pick(zh, "Uninstall Quorvex Host…", "卸载 Quorvex Host…"); }
std::string quit(bool zh) { return pick(zh, "Quit", "退出"); }
std::string noSystemTray() { return "Quorvex Host: no system tray; use Settings from the application menu"; }

}  // namespace menu

namespace form {

std::string windowTitle(bool zh) { return pick(zh, "Quorvex Host Settings", "Quorvex Host 设置"); }

std::string connectionSection(bool zh) { return pick(zh, "Connection", "连接"); }
std::string listenAddress(bool zh) { return pick(zh, "Listen address", "监听地址"); }
std::string token(bool zh) { return pick(zh, "Token", "令牌"); }
std::string tokenPlaceholder(bool zh) { return pick(zh, "none (no check)", "未设置（不验证）"); }
std::string tokenReadingPlaceholder(bool zh) { return pick(zh, "reading the keyring…", "正在读取钥匙环…"); }
std::string tokenUnreadablePlaceholder(bool zh) {
  return pick(zh, "couldn't be read (kept as saved)", "无法读取（保存时保持原样）");
}
std::string generate(bool zh) { return pick(zh, "Generate", "随机生成"); }
std::string connectionFooter(bool zh) {
  return pick(zh,
              "Enter the same token in the iOS app's WebRTC remote control. Empty means no check: any device that "
              "can reach this computer can control it.",
              "iOS 端「WebRTC 远控」里填写相同的令牌。留空表示不验证，任何能连到本机的设备都能控制它。");
}

std::string pictureSection(bool zh) { return pick(zh, "Picture and sound", "画面与声音"); }
std::string bitrate(bool zh) { return pick(zh, "Bitrate", "码率"); }
std::string maxWidth(bool zh) { return pick(zh, "Max width", "最大宽度"); }
std::string sendAudio(bool zh) { return pick(zh, "Send system audio", "传输系统声音"); }

std::string permissionsSection(bool zh) { return pick(zh, "Permissions", "权限"); }
std::string screenRecording(bool zh) { return pick(zh, "Screen Recording", "屏幕录制"); }
std::string accessibility(bool zh) { return pick(zh, "Accessibility (remote input)", "辅助功能（远程键鼠）"); }
std::string allowed(bool zh) { return pick(zh, "Allowed", "已允许"); }
std::string allow(bool zh) { return pick(zh, "Allow…", "去允许…"); }
std::string permissionsFooter(bool zh) {
  return pick(zh, "Both must be allowed once on this computer. Screen Recording applies after Quorvex Host relaunches.",
              "两项都需要在本机允许一次。允许屏幕录制后，需重启 Quorvex Host 才生效。");
}

std::string launchAtLogin(bool zh) { return pick(zh, "Launch at login", "登录时自动启动"); }

std::string updatesSection(bool zh) { return pick(zh, "Version and updates", "版本与更新"); }
std::string currentVersion(bool zh) { return pick(zh, "Current version", "当前版本"); }
std::string latestVersion(bool zh) { return pick(zh, "Latest version", "最新版本"); }
std::string checkAutomatically(bool zh) { return pick(zh, "Check for updates automatically", "自动检查更新"); }
std::string checkNow(bool zh) { return pick(zh, "Check Now", "检查更新"); }
std::string updateNow(bool zh) { return pick(zh, "Update Now…", "立即更新…"); }
std::string updatesFooter(bool zh) {
  return pick(zh,
              "When a new version is out, the tray menu and connected iPhone/iPad ask first, then it downloads and "
              "installs itself, keeping settings and permissions.",
              "有新版本时，托盘菜单和连着的 iPhone/iPad 都会提示，同意后自动下载安装，设置和权限都保留。");
}

std::string invalidListen(bool zh) {
  return pick(zh, "Listen address must look like :8771 or IP:port", "监听地址格式应为 :8771 或 IP:端口");
}
std::string cancel(bool zh) { return pick(zh, "Cancel", "取消"); }
std::string saveAndStart(bool zh) { return pick(zh, "Save and Start", "保存并启动"); }

std::vector<Option<std::string>> bitrateOptions() {
  std::vector<Option<std::string>> options;
  for (const char* value : {"8M", "16M", "24M"}) options.push_back({value, std::string(value) + "bps"});
  return options;
}

std::vector<Option<std::int64_t>> maxWidthOptions(bool zh) {
  std::vector<Option<std::int64_t>> options{{0, pick(zh, "Native", "原始分辨率")}};
  for (std::int64_t width : {1280, 1920, 2560}) options.push_back({width, std::to_string(width)});
  return options;
}

bool listenValid(const HostSettings& settings) { return !settings.validationError().has_value(); }

std::string trimSpacesAndTabs(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

bool initialLoginItem(bool configured, bool loginItemEnabled) { return configured ? loginItemEnabled : true; }

bool updateNowEnabled(const UpdatePhase& phase) { return !phase.busy(); }

}  // namespace form
}  // namespace qx::host
