#include "platform/linux/host/x11_permission_probe.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace qx::host {
namespace {

template <class Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

bool waylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  if (type && std::string_view(type) == "wayland") return true;
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display;
}

}  // namespace

X11PermissionProbe::~X11PermissionProbe() { disconnect(); }

void X11PermissionProbe::disconnect() {
  if (connection_) xcb_disconnect(connection_);
  connection_ = nullptr;
}

xcb_connection_t* X11PermissionProbe::connection() {
  if (connection_) {
    // An error only shows once a request fails, so ask something cheap.
    ReplyPtr<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr), &std::free);
    if (focus && !xcb_connection_has_error(connection_)) return connection_;
    disconnect();
  }
  xcb_connection_t* fresh = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(fresh)) {
    xcb_disconnect(fresh);  // also frees the error object xcb returns
    return nullptr;
  }
  connection_ = fresh;
  return connection_;
}

bool X11PermissionProbe::screenRecording() {
  if (waylandSession()) return false;
  return connection() != nullptr;
}

bool X11PermissionProbe::accessibility() {
  xcb_connection_t* conn = connection();
  if (!conn) return false;
  static constexpr char kName[] = "XTEST";
  ReplyPtr<xcb_query_extension_reply_t> reply(
      xcb_query_extension_reply(conn, xcb_query_extension(conn, std::strlen(kName), kName), nullptr), &std::free);
  return reply && reply->present;
}

}  // namespace qx::host
