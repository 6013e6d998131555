#pragma once

// RandR 1.5 monitors as this system's displays. Internal to the X11 backends.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/display_service.h"

namespace qx::x11 {

class XcbConnection;

struct Monitor {
  DisplayID id = 0;  // the monitor's name atom: stable while the monitor exists
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool primary = false;
  // The current mode of the monitor's one output, when the monitor is exactly
  // that output's CRTC; a monitor spanning several outputs, or one defined on
  // part of the screen, has no mode of its own.
  std::optional<DisplayModeSize> mode;
};

// Left to right, then top to bottom; the server's own order (primary first)
// breaks remaining ties.
void sortScreenOrder(std::vector<Monitor>& monitors);

// The active monitors of the connection's screen in screen order. Absent when
// the connection is broken, the server lacks RandR 1.5 or a request fails.
// `withModes` also looks up each monitor's mode (more round trips).
std::optional<std::vector<Monitor>> queryMonitors(const XcbConnection& conn, bool withModes);

}  // namespace qx::x11
