#include "platform/linux/x11/damage_region.h"

#include <limits>

namespace qx::x11 {

namespace {

// Every rectangle costs a round trip to the X server: merging is worth up to
// this many pixels that did not change.
constexpr std::int64_t kFreeMergePixels = 128 * 128;

// The pixels a merge would add that neither rectangle holds (overlap counted
// once, so overlapping rectangles may come out negative).
std::int64_t mergeWaste(PixelRect a, PixelRect b) {
  return boundingBox(a, b).area() - a.area() - b.area() + intersection(a, b).area();
}

}  // namespace

DamageRegion::DamageRegion(int width, int height) : width_(width), height_(height) { addWhole(); }

void DamageRegion::addWhole() { rects_.assign(1, PixelRect{0, 0, width_, height_}); }

void DamageRegion::clear() { rects_.clear(); }

bool DamageRegion::whole() const { return rects_.size() == 1 && rects_.front() == PixelRect{0, 0, width_, height_}; }

void DamageRegion::add(PixelRect r) {
  r = evenWithin(r, width_, height_);
  if (r.empty() || whole()) return;
  absorb(r);
  while (rects_.size() > kMaxRects) {
    std::size_t bestI = 0, bestJ = 1;
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < rects_.size(); ++i) {
      for (std::size_t j = i + 1; j < rects_.size(); ++j) {
        const std::int64_t waste = mergeWaste(rects_[i], rects_[j]);
        if (waste < best) {
          best = waste;
          bestI = i;
          bestJ = j;
        }
      }
    }
    const PixelRect merged = boundingBox(rects_[bestI], rects_[bestJ]);
    rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(bestJ));
    rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(bestI));
    absorb(merged);
  }
  std::int64_t covered = 0;
  for (const PixelRect& e : rects_) covered += e.area();
  // Grabbing and converting most of the picture in pieces costs more than
  // doing it whole.
  if (2 * covered > static_cast<std::int64_t>(width_) * height_) addWhole();
}

// Adds `r`, first merging it with every rectangle that costs little extra to
// refresh together with it (contained, overlapping, touching or close by).
void DamageRegion::absorb(PixelRect r) {
  for (std::size_t i = 0; i < rects_.size();) {
    if (mergeWaste(rects_[i], r) <= kFreeMergePixels) {
      r = boundingBox(rects_[i], r);
      rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(i));
      i = 0;
    } else {
      ++i;
    }
  }
  rects_.push_back(r);
}

}  // namespace qx::x11
