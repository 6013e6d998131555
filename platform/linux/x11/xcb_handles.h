#pragma once

// RAII owners for xcb handles, shared by the X11 backends. Include only from
// .cpp files of this folder: it pulls in xcb.

#include <cstdlib>
#include <memory>
#include <string>

#include <xcb/xcb.h>

namespace qx::x11 {

// A reply or other malloc'ed block that xcb hands to the caller.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// One connection to an X server and its screen. xcb connections may be used
// from several threads at once.
class XcbConnection {
 public:
  // `displayName` empty means the DISPLAY environment variable. The result
  // may be broken (ok() false); it is never null.
  explicit XcbConnection(const std::string& displayName) {
    int screenNumber = 0;
    conn_.reset(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (xcb_connection_has_error(conn_.get()) != 0) return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_.get()));
    for (int i = 0; it.rem > 0 && i < screenNumber; ++i) xcb_screen_next(&it);
    if (it.rem > 0) screen_ = it.data;
  }

  // True while the server accepts us and the connection has not broken.
  bool ok() const { return screen_ != nullptr && xcb_connection_has_error(conn_.get()) == 0; }
  xcb_connection_t* get() const { return conn_.get(); }
  // The screen asked for; null when the connection failed.
  const xcb_screen_t* screen() const { return screen_; }

 private:
  std::unique_ptr<xcb_connection_t, ConnectionDeleter> conn_;
  const xcb_screen_t* screen_ = nullptr;
};

}  // namespace qx::x11
