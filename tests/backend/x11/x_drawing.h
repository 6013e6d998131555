#pragma once

// Test-side X client that paints the root window, so capture tests control
// exactly what is on screen and when it changes.

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <xcb/xcb.h>

namespace qx::test {

class XDrawing {
 public:
  explicit XDrawing(const std::string& display) : conn_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(conn_) != 0) throw std::runtime_error("cannot connect to " + display);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
    gc_ = xcb_generate_id(conn_);
    xcb_create_gc(conn_, gc_, screen_->root, 0, nullptr);
  }
  ~XDrawing() { xcb_disconnect(conn_); }
  XDrawing(const XDrawing&) = delete;
  XDrawing& operator=(const XDrawing&) = delete;

  // Fills a rectangle with 0xRRGGBB and waits until the server has done it.
  void fill(int x, int y, int w, int h, std::uint32_t rgb) {
    xcb_change_gc(conn_, gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                            static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(conn_, screen_->root, gc_, 1, &r);
    sync();
  }

  // Copies a rectangle of the screen elsewhere, as a moved or scrolled window does.
  void copy(int x, int y, int w, int h, int toX, int toY) {
    xcb_copy_area(conn_, screen_->root, screen_->root, gc_, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                  static_cast<std::int16_t>(toX), static_cast<std::int16_t>(toY), static_cast<std::uint16_t>(w),
                  static_cast<std::uint16_t>(h));
    sync();
  }

  // The screen's pixels (BGRX, `w` * 4 bytes a row), read without MIT-SHM.
  std::vector<std::uint8_t> pixels(int w, int h) {
    xcb_get_image_reply_t* reply =
        xcb_get_image_reply(conn_,
                            xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0,
                                          static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), ~0u),
                            nullptr);
    if (reply == nullptr) throw std::runtime_error("get-image failed");
    const std::uint8_t* data = xcb_get_image_data(reply);
    std::vector<std::uint8_t> out(data, data + xcb_get_image_data_length(reply));
    std::free(reply);
    return out;
  }

  void sync() { std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr)); }

 private:
  xcb_connection_t* conn_;
  const xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
};

}  // namespace qx::test
