#pragma once

#include <algorithm>
#include <cstdint>

namespace qx::x11 {

// A rectangle of pixels: columns [x, x + width), rows [y, y + height).
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  int right() const { return x + width; }
  int bottom() const { return y + height; }
  std::int64_t area() const { return empty() ? 0 : static_cast<std::int64_t>(width) * height; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

inline PixelRect intersection(PixelRect a, PixelRect b) {
  const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.right(), b.right()), y1 = std::min(a.bottom(), b.bottom());
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

// The smallest rectangle holding both; an empty one adds nothing.
inline PixelRect boundingBox(PixelRect a, PixelRect b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  return {x0, y0, std::max(a.right(), b.right()) - x0, std::max(a.bottom(), b.bottom()) - y0};
}

// Widened outwards to even edges (chroma covers 2x2 blocks), then clipped to
// a picture of `width` x `height`.
inline PixelRect evenWithin(PixelRect r, int width, int height) {
  if (r.empty()) return {};
  const int x0 = r.x & ~1, y0 = r.y & ~1;
  const int x1 = (r.right() + 1) & ~1, y1 = (r.bottom() + 1) & ~1;
  return intersection({x0, y0, x1 - x0, y1 - y0}, {0, 0, width, height});
}

}  // namespace qx::x11
