#pragma once

// The desktop a tray UI test runs on: its own session bus, its own Xvfb, and
// a tray (trayer) started when the test wants it, so the icon can also be
// shown before any tray exists. Helpers drive it from outside the way a user
// and a window manager would: xdotool clicks, the WM_DELETE_WINDOW message.

#include <QPoint>
#include <QRect>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/x_server.h"

namespace qx::test {

// Runs this test program again inside `dbus-run-session`, once, so nothing
// on the machine's own session bus (a StatusNotifier watcher, a keyring)
// takes part. Returns only in the re-run program (or without the tool).
void runInOwnSessionBus(int argc, char** argv);

class UiDesktop {
 public:
  // Starts Xvfb and points DISPLAY at it; call before the QApplication.
  UiDesktop(int width, int height);
  ~UiDesktop();

  // Starts trayer at the top right and waits until it owns the tray
  // selection. Later calls do nothing.
  void startTray();
  // Starts openbox, a window manager that minimises and restores as desktops
  // do. Later calls do nothing.
  void startWindowManager();

  const std::string& display() const { return x_->display(); }

 private:
  std::unique_ptr<XServer> x_;
  std::unique_ptr<Process> tray_;
  std::unique_ptr<Process> windowManager_;
};

// Runs the Qt event loop until `done` holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the Qt event loop for `time`.
void spin(std::chrono::milliseconds time);

// A real pointer click (button 1 left, 3 right) at a global position, by xdotool.
void click(QPoint at, int button = 1);

// Sends WM_DELETE_WINDOW to `window`, as a window manager does for its title-bar close button.
void closeLikeWindowManager(unsigned long window);

// The 32-bit values of `window`'s property `name` (of any type); empty when unset.
std::vector<std::uint32_t> windowProperty(unsigned long window, const std::string& name);

// Runs `args` while the Qt event loop keeps running (the clipboard owner must
// answer), returning its standard output.
std::string runBesideEventLoop(const std::vector<std::string>& args);

// Writes `area` of the screen as <build>/screenshots/<name>.png; returns the path.
std::string screenshot(const std::string& name, QRect area);

}  // namespace qx::test
