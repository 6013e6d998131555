#pragma once

// Moving content for tests of the whole helper: a thread with its own X
// connection paints the root window round after round until destroyed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include <xcb/xcb.h>

namespace qx::test {

class XPainter {
 public:
  using Fill = std::function<void(int x, int y, int w, int h, std::uint32_t rgb)>;
  // Draws one round through `fill` on a screen of `width` x `height`.
  using Round = std::function<void(const Fill& fill, int width, int height)>;

  // After each round the painter waits until the server has drawn it, then
  // pauses: content generation, not pacing of the code under test.
  XPainter(const std::string& display, Round round, std::chrono::milliseconds pause)
      : thread_([this, display, round = std::move(round), pause] { run(display, round, pause); }) {}
  ~XPainter() {
    stop_ = true;
    thread_.join();
  }
  XPainter(const XPainter&) = delete;
  XPainter& operator=(const XPainter&) = delete;

 private:
  void run(const std::string& display, const Round& round, std::chrono::milliseconds pause) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c) == 0) {
      const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
      const xcb_gcontext_t gc = xcb_generate_id(c);
      xcb_create_gc(c, gc, screen->root, 0, nullptr);
      const Fill fill = [&](int x, int y, int w, int h, std::uint32_t rgb) {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
      };
      while (!stop_) {
        round(fill, screen->width_in_pixels, screen->height_in_pixels);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        std::this_thread::sleep_for(pause);
      }
    }
    xcb_disconnect(c);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace qx::test
