#include "capture/permission.h"

namespace qx {

const std::string_view kPermissionMissingMessage =
    "Screen Recording permission missing: System Settings → Privacy & Security → Screen Recording, allow the app "
    "that started the host (Quorvex Host for the installed app, Terminal when run from it, quorvex-webrtc-server for "
    "the LaunchAgent), then restart the host. 屏幕录制权限未授予：请在 系统设置 → 隐私与安全性 → 屏幕录制 "
    "中允许启动本程序的应用（安装包版本是 Quorvex Host），然后重启 host。";

bool checkCaptureAccess(DisplayService& displays, const LogFn& log) {
  if (displays.preflightCaptureAccess()) return true;
  log(kPermissionMissingMessage);
  (void)displays.requestCaptureAccess();
  return false;
}

}  // namespace qx
