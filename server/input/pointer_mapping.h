#pragma once

// Between the picture (relative positions) and the X screen (root pixels of
// the captured monitor), and the pointer's shape as a viewer draws it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qx::server::input {

// The captured monitor in root-window pixels.
struct MonitorRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct RootPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const RootPoint&, const RootPoint&) = default;
};

// The pixel under a relative position (0..1 each, 1 is the far edge, which
// falls on the last pixel). `rect` has a positive size.
RootPoint toRoot(const MonitorRect& rect, double x, double y);

// The pointer relative to the monitor: the centre of the pixel it is on, so
// toRoot gives that pixel back; `inside` false when it is off the monitor.
struct RelativePoint {
  double x = 0;
  double y = 0;
  bool inside = false;
};
RelativePoint relativeOf(const MonitorRect& rect, RootPoint p);

// Premultiplied ARGB pixels (XFIXES cursor images) to straight-alpha RGBA bytes.
std::string straightRgba(std::span<const std::uint32_t> argb);

std::string base64(std::string_view bytes);

}  // namespace qx::server::input
