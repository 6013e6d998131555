#pragma once

// Text colours that stay readable on any palette: the relative-luminance
// contrast ratio (1 to 21) and a colour moved towards black or white until it
// reaches a given ratio against a background, keeping its hue as far as it can.

#include <cstdint>

namespace qx::host {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

double contrastRatio(Rgb a, Rgb b);

// `wanted` itself when it already reaches `ratio` on `background`; otherwise
// the least mix with black (light backgrounds) or white (dark ones) that does.
Rgb readableOn(Rgb wanted, Rgb background, double ratio = 4.5);

}  // namespace qx::host
