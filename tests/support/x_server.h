#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

// A private X server for one test, on a display number the server picks
// itself (-displayfd), so parallel tests never collide. Stopped on destruction.
class XServer {
 public:
  // Xvfb with one screen of the given size (depth 24).
  static std::unique_ptr<XServer> xvfb(int width = 1920, int height = 1080);
  // Xvfb that refuses every client without its cookie (a client with
  // XAUTHORITY=/dev/null is refused: "Authorization required").
  static std::unique_ptr<XServer> xvfbWithCookie(int width, int height);
  // Xorg with the dummy driver and a virtual screen of the given size: it
  // supports RandR screen resizes and `xrandr --setmonitor`.
  static std::unique_ptr<XServer> dummyXorg(int width, int height);

  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // ":N"
  const std::string& display() const { return display_; }
  // Runs a program with DISPLAY set to this server; returns its exit status.
  RunResult runClient(std::vector<std::string> args) const;
  // For failure messages: whether the server still runs, and the end of its log.
  std::string state() const;

 private:
  XServer() = default;
  static std::unique_ptr<XServer> launch(std::vector<std::string> args, std::unique_ptr<TempDir> dir);

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Process> process_;
  std::string display_;
};

}  // namespace qx::test
