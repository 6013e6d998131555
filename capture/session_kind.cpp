#include "capture/session_kind.h"

#include <string_view>

namespace qx {

SessionKind sessionKind(const char* waylandDisplay, const char* xdgSessionType) {
  if (waylandDisplay && *waylandDisplay) return SessionKind::wayland;
  if (xdgSessionType && std::string_view(xdgSessionType) == "wayland") return SessionKind::wayland;
  return SessionKind::x11;
}

}  // namespace qx
