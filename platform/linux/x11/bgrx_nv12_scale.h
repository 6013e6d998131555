#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/x11/bgrx_nv12_kernel.h"
#include "platform/linux/x11/pixel_rect.h"

namespace qx::x11 {

// BGRX (full range) to NV12, BT.709 video range, scaling by any ratio in one
// pass: area averaging along an axis that shrinks, bilinear along one that
// grows, separable, with fixed-point taps worked out once per output column
// and row. Chroma is the mean of each 2x2 block of scaled pixels. Each output
// byte depends only on the source pixels under its taps, whatever part of the
// picture is converted, so one rectangle can be redone on its own.
// Destination sizes must be even, source sizes at least 2. Not thread-safe
// (scratch rows).
class BgrxNv12Scaler {
 public:
  BgrxNv12Scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight);

  // False when the sizes do not suit it.
  bool ok() const { return ok_; }

  // The destination pixels that read any source pixel of `src`, widened to
  // even edges and clipped; empty when none does.
  PixelRect destinationFor(PixelRect src) const;

  // Writes the destination pixels of `dstRect` (widened to even edges and
  // clipped) and nothing else. `src` holds the whole source picture.
  void convert(const std::uint8_t* src, int srcStride, std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV,
               int dstUVStride, PixelRect dstRect, SimdPath path = SimdPath::best);

  // One axis of the filter. Every output reads a window of `taps` source
  // pixels from `start`; its fixed-point weights add up to 1; `first` and
  // `last` bound the ones that are not zero.
  struct Axis {
    int taps = 0;
    std::vector<int> start;
    std::vector<std::uint16_t> weights;
    std::vector<int> first;
    std::vector<int> last;
  };

 private:
  int srcWidth_;
  int srcHeight_;
  int dstWidth_;
  int dstHeight_;
  bool ok_ = false;
  Axis columns_;
  Axis rows_;
  // Column weights laid out for the AVX2 path: per output x and tap pair,
  // each weight of the pair for the four channels of x, then of x + 2.
  std::vector<std::int16_t> columnPairs_;
  // Two vertically filtered source rows, four 16-bit channels per pixel.
  std::vector<std::int16_t> rowScratch_;
};

}  // namespace qx::x11
