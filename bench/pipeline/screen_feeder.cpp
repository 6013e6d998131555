#include "bench/pipeline/screen_feeder.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include <xcb/shm.h>

namespace qx::bench {

ScreenFeeder::ScreenFeeder(const std::string& display, Content& content, int fps)
    : c_(xcb_connect(display.c_str(), nullptr)),
      content_(content),
      period_(std::chrono::nanoseconds(1'000'000'000 / fps)) {
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect to " + display);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  root_ = screen->root;
  gc_ = xcb_generate_id(c_);
  xcb_create_gc(c_, gc_, root_, 0, nullptr);
  seg_ = xcb_generate_id(c_);
  xcb_generic_error_t* error =
      xcb_request_check(c_, xcb_shm_attach_checked(c_, seg_, static_cast<std::uint32_t>(content.memory().id()), 1));
  if (error) {
    std::free(error);
    throw std::runtime_error("the X server refused the shared memory (MIT-SHM)");
  }
  content.memory().release();
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(xcb_get_file_descriptor(c_), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) serverPid_ = peer.pid;
  thread_ = std::thread([this] { run(); });
}

ScreenFeeder::~ScreenFeeder() {
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  xcb_shm_detach(c_, seg_);
  xcb_disconnect(c_);
}

void ScreenFeeder::pause() {
  std::unique_lock lock(m_);
  pauseWanted_ = true;
  cv_.wait(lock, [&] { return paused_; });
}

void ScreenFeeder::resume() {
  {
    std::lock_guard lock(m_);
    pauseWanted_ = false;
  }
  cv_.notify_all();
}

std::optional<Steady::time_point> ScreenFeeder::putTime(int n) const {
  std::lock_guard lock(m_);
  if (n < 0 || n >= static_cast<int>(putTimes_.size()) ||
      putTimes_[static_cast<std::size_t>(n)] == Steady::time_point{}) {
    return std::nullopt;
  }
  return putTimes_[static_cast<std::size_t>(n)];
}

int ScreenFeeder::framesPutBetween(Steady::time_point from, Steady::time_point to) const {
  std::lock_guard lock(m_);
  return static_cast<int>(
      std::count_if(putTimes_.begin(), putTimes_.end(), [&](auto t) { return t >= from && t < to; }));
}

void ScreenFeeder::run() {
  auto next = Steady::now();
  for (int n = 0;; ++n) {
    {
      std::unique_lock lock(m_);
      if (pauseWanted_) {
        paused_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !pauseWanted_ || stop_; });
        paused_ = false;
        next = Steady::now();
      }
      if (stop_) return;
    }
    // A frame of several puts goes on screen at once, as a compositor presents
    // a whole frame: with the server grabbed no other client's grab can fall
    // between two of them and see new content under an old counter.
    const std::vector<Rect> changed = content_.advanceTo(n);
    if (changed.size() > 1) xcb_grab_server(c_);
    for (const Rect& r : changed) {
      xcb_shm_put_image(c_, root_, gc_, static_cast<std::uint16_t>(content_.bufferWidth()),
                        static_cast<std::uint16_t>(content_.bufferHeight()),
                        static_cast<std::uint16_t>(content_.originX() + r.x),
                        static_cast<std::uint16_t>(content_.originY() + r.y), static_cast<std::uint16_t>(r.width),
                        static_cast<std::uint16_t>(r.height), static_cast<std::int16_t>(r.x),
                        static_cast<std::int16_t>(r.y), 24, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, seg_, 0);
    }
    if (changed.size() > 1) xcb_ungrab_server(c_);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    const auto now = Steady::now();
    {
      std::lock_guard lock(m_);
      putTimes_.resize(static_cast<std::size_t>(n) + 1);
      putTimes_[static_cast<std::size_t>(n)] = now;
    }
    next += period_;
    // Behind by more than a frame (a loaded machine): carry on from now rather
    // than putting a burst.
    if (now - next > period_) next = now;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace qx::bench
