#pragma once

#include <cstdint>
#include <memory>

#include "platform/media.h"

namespace qx::x11 {

// Converts 32-bit BGRX pictures (X11's depth-24 layout on little-endian
// servers) to NV12, BT.709 video range, scaling to the destination size with
// a bilinear filter. Same-size and exact half-size even pictures go through
// our own kernels (several times faster than libswscale; the same-size one
// within 1 of it, the halving one averages 2x2 blocks); everything else
// through libswscale. One instance per source/destination size pair; not
// thread-safe (one converting thread at a time).
class Nv12Converter {
 public:
  enum class Method {
    fastest,  // own kernel where it applies, else libswscale
    swscale,  // always libswscale (reference for comparisons)
  };

  Nv12Converter(int srcWidth, int srcHeight, int dstWidth, int dstHeight, Method method = Method::fastest);
  ~Nv12Converter();
  Nv12Converter(const Nv12Converter&) = delete;
  Nv12Converter& operator=(const Nv12Converter&) = delete;

  // False when the sizes are unusable or the scaler refused them.
  bool ok() const;
  // True when the own kernel does the work.
  bool usesKernel() const;

  // `bgrx` holds srcHeight rows of `srcStride` bytes. `dst` must have the
  // destination size.
  void convert(const std::uint8_t* bgrx, int srcStride, PixelBuffer& dst);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::x11
