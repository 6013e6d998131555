#include "host/Contrast.h"

#include <algorithm>
#include <cmath>

namespace qx::host {
namespace {

double channel(std::uint8_t value) {
  const double c = value / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(Rgb c) { return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b); }

std::uint8_t mix(std::uint8_t from, std::uint8_t to, double t) {
  return static_cast<std::uint8_t>(std::lround(from + (to - from) * t));
}

}  // namespace

double contrastRatio(Rgb a, Rgb b) {
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb readableOn(Rgb wanted, Rgb background, double ratio) {
  // Towards the end of the scale farther from the background.
  const std::uint8_t end = luminance(background) > 0.18 ? 0 : 255;
  for (int step = 0; step <= 100; ++step) {
    const double t = step / 100.0;
    const Rgb c{mix(wanted.r, end, t), mix(wanted.g, end, t), mix(wanted.b, end, t)};
    if (contrastRatio(c, background) >= ratio) return c;
  }
  return {end, end, end};
}

}  // namespace qx::host
