// quorvex-screencap: captures one display as H.264 on standard output.

#include <csignal>
#include <string>
#include <vector>

#include "capture/displays.h"
#include "capture/options.h"
#include "common/log.h"
#include "platform/linux/x11/x11_display_service.h"

namespace {

constexpr const char* kPermissionMessage =
    "Screen Recording permission missing: System Settings → Privacy & Security → Screen Recording, allow the app "
    "that started the host (Quorvex Host for the installed app, Terminal when run from it, quorvex-webrtc-server for "
    "the LaunchAgent), then restart the host. 屏幕录制权限未授予：请在 系统设置 → 隐私与安全性 → 屏幕录制 "
    "中允许启动本程序的应用（安装包版本是 Quorvex Host），然后重启 host。";

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output or audio descriptor must show up as a write
  // error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  qx::X11DisplayService displays;
  if (qx::wantsDisplayList(args)) qx::listDisplaysAndExit(displays);

  const qx::Options options = qx::parseArgs(args);
  (void)options;

  if (!displays.preflightCaptureAccess()) {
    qx::logErr(kPermissionMessage);
    (void)displays.requestCaptureAccess();
    return 2;
  }

  // The capture engine is not part of this build yet.
  qx::logErr("start failed: the capture engine is not available in this build");
  return 1;
}
