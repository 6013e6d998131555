#pragma once

// The two permissions on an X11 desktop. Screen recording: the X server of
// $DISPLAY accepts our connection and the session is not a Wayland one (under
// XWayland the helper would see only X11 windows). Remote input: the server
// offers the XTEST extension.

#include "host/HostServices.h"

struct xcb_connection_t;

namespace qx::host {

// Keeps one X connection across polls and opens a new one once it broke.
// Each probe makes one round trip, which is what notices a lost server.
class X11PermissionProbe final : public PermissionProbe {
 public:
  X11PermissionProbe() = default;
  ~X11PermissionProbe() override;
  X11PermissionProbe(const X11PermissionProbe&) = delete;
  X11PermissionProbe& operator=(const X11PermissionProbe&) = delete;

  bool screenRecording() override;
  bool accessibility() override;

 private:
  // The live connection, or null when the server cannot be reached.
  xcb_connection_t* connection();
  void disconnect();

  xcb_connection_t* connection_ = nullptr;
};

}  // namespace qx::host
