#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "bench/pipeline/content.h"

namespace qx::bench {

using Steady = std::chrono::steady_clock;

// Puts the frames of a Content on the root window at a fixed rate from its
// own thread, straight from the content's shared memory (MIT-SHM), and notes
// when each frame had reached the server. A frame of several puts is put with
// the server grabbed, so it appears at once. Frame numbers run on across pauses.
class ScreenFeeder {
 public:
  ScreenFeeder(const std::string& display, Content& content, int fps);
  ~ScreenFeeder();
  ScreenFeeder(const ScreenFeeder&) = delete;
  ScreenFeeder& operator=(const ScreenFeeder&) = delete;

  // Returns once no put is in progress.
  void pause();
  void resume();

  // When frame n was on screen: the reply to a request sent after its puts.
  std::optional<Steady::time_point> putTime(int n) const;
  // Frames whose put time lies in [from, to).
  int framesPutBetween(Steady::time_point from, Steady::time_point to) const;
  // The X server's process, from the connection's peer credentials.
  int serverPid() const { return serverPid_; }

 private:
  void run();

  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::uint32_t seg_ = 0;
  int serverPid_ = -1;
  Content& content_;
  const std::chrono::nanoseconds period_;

  mutable std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;                         // m_
  bool pauseWanted_ = false;                  // m_
  bool paused_ = false;                       // m_
  std::vector<Steady::time_point> putTimes_;  // m_, by frame number
  std::thread thread_;
};

}  // namespace qx::bench
