#pragma once

#include <cstddef>
#include <vector>

#include "platform/linux/x11/pixel_rect.h"

namespace qx::x11 {

// What changed in a picture since some moment, as a few rectangles with even
// edges. Rectangles that lie close are merged, and the count stays bounded,
// so a storm of tiny changes never costs more than refreshing the whole
// picture; past half the picture it is the whole picture. Rectangles may
// overlap. A new region is whole: nothing is known about the picture yet.
class DamageRegion {
 public:
  static constexpr std::size_t kMaxRects = 8;

  DamageRegion(int width, int height);

  // Clipped to the picture.
  void add(PixelRect r);
  void addWhole();
  void clear();

  bool empty() const { return rects_.empty(); }
  bool whole() const;
  const std::vector<PixelRect>& rects() const { return rects_; }

 private:
  void absorb(PixelRect r);

  int width_;
  int height_;
  std::vector<PixelRect> rects_;
};

}  // namespace qx::x11
