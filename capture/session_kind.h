#pragma once
// Which kind of graphical session the helper runs in, from the two variables a session sets.
// Reading them is deliberate: capturing X11 inside a Wayland session would show only X clients.

namespace qx {

enum class SessionKind { x11, wayland };

// Wayland when WAYLAND_DISPLAY is set (non-empty) or XDG_SESSION_TYPE is "wayland"; X11 otherwise.
SessionKind sessionKind(const char* waylandDisplay, const char* xdgSessionType);

}  // namespace qx
