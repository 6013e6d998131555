#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/x11/pixel_rect.h"
#include "platform/media.h"

namespace qx::x11 {

// Converts 32-bit BGRX pictures (X11's depth-24 layout on little-endian
// servers) to NV12, BT.709 video range, scaling to the destination size.
// Even destination sizes go through our own kernels, several times faster
// than libswscale: same size (within 1 of libswscale), exact halving (2x2
// block means) and a fused scaler for any other ratio (area averaging when
// shrinking, bilinear when growing). Odd sizes go through libswscale
// (bilinear). One instance per source/destination size pair; not
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

  // The destination pixels that read any pixel of `src` (a rectangle of the
  // source): the filter's reach for luma and for the 2x2 chroma blocks,
  // widened to even edges and clipped to the picture; empty when `src` does
  // not touch the picture. The whole picture with libswscale, which only
  // converts whole pictures.
  PixelRect destinationFor(PixelRect src) const;

  // Converts only `dstRect`, a rectangle of the destination with even edges:
  // the bytes inside come out exactly as `convert` writes them, the bytes
  // outside are left as they are. With libswscale, converts the whole
  // picture. After the source changes inside some rectangle R, converting
  // destinationFor(R) brings `dst` to what a whole conversion gives.
  void convertRect(const std::uint8_t* bgrx, int srcStride, PixelBuffer& dst, PixelRect dstRect);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::x11
