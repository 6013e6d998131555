#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

// Debian's headless Chromium with a temporary profile, driven through the
// DevTools protocol over --remote-debugging-pipe (one page, one session).
// Every call has a deadline and throws std::runtime_error when it fails or
// passes. Stopped by its pid on destruction.
class Chromium {
 public:
  struct Options {
    int udpPortLow = 0;  // WebRTC's UDP ports stay in [low, high] when set
    int udpPortHigh = 0;
  };
  struct Point {
    double x = 0;
    double y = 0;
  };

  // Throws when /usr/bin/chromium is missing or does not answer.
  explicit Chromium(Options options);
  ~Chromium();
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  int pid() const { return process_->pid(); }

  // One DevTools command on the page's session; returns its "result".
  nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Opens `url` and waits until its document has loaded.
  void navigate(const std::string& url);
  // Evaluates `expression` in the page, awaiting a promise; returns the value.
  nlohmann::json evaluate(const std::string& expression, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Evaluates `expression` every 50 ms until it (or the promise it gives) is truthy; exceptions count as false.
  bool waitFor(const std::string& expression, std::chrono::milliseconds timeout);

  // CSS pixels; `mobile` also turns touch emulation on.
  void setViewport(int width, int height, bool mobile);
  // type: "touchStart", "touchMove", "touchEnd"; all fingers on the screen.
  void touch(const std::string& type, const std::vector<Point>& fingers);
  // type: "mousePressed", "mouseReleased", "mouseMoved"; button "none", "left", "middle", "right".
  void mouse(const std::string& type, Point at, const std::string& button = "none");
  // type: "keyDown", "keyUp"; `text` is what the key types, if anything.
  void key(const std::string& type, const std::string& key, const std::string& code, const std::string& text = {});
  // Writes a PNG of the viewport.
  void screenshot(const std::string& path);

  // Console messages and uncaught exceptions so far, one per line, and the
  // end of the browser's own log: for failure messages.
  std::string console() const { return console_; }
  std::string log() const;

 private:
  void send(const nlohmann::json& message);
  nlohmann::json receive(int id, std::chrono::steady_clock::time_point deadline);
  nlohmann::json command(const std::string& method, const nlohmann::json& params, const std::string& session,
                         std::chrono::milliseconds timeout);
  void noteEvent(const nlohmann::json& event);

  std::unique_ptr<TempDir> profile_;
  std::unique_ptr<Process> process_;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int nextId_ = 1;
  std::string session_;
  std::string buffer_;
  std::string console_;
};

}  // namespace qx::test
