// quorvex-screencap: captures one display as H.264 on standard output.

#include <csignal>
#include <string>
#include <vector>

#include "capture/displays.h"
#include "capture/options.h"
#include "capture/permission.h"
#include "common/log.h"
#include "platform/linux/x11/x11_display_service.h"

int main(int argc, char** argv) {
  // A closed standard output or audio descriptor must show up as a write
  // error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  qx::X11DisplayService displays;
  if (qx::wantsDisplayList(args)) qx::listDisplaysAndExit(displays);

  const qx::Options options = qx::parseArgs(args);
  (void)options;

  if (!qx::checkCaptureAccess(displays, qx::stderrLog())) return 2;

  // The capture engine is not part of this build yet.
  qx::logErr("start failed: the capture engine is not available in this build");
  return 1;
}
