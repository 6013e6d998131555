#include "platform/linux/x264/unchanged_blocks.h"

#include <algorithm>
#include <cstring>

namespace qx::x264 {

UnchangedBlocks::UnchangedBlocks(int width, int height)
    : width_(width), height_(height), mbWidth_((width + 15) / 16), mbHeight_((height + 15) / 16) {}

namespace {

// Whether `rows` rows of `bytes` bytes at `a` and `b` are equal; stops at the
// first difference, so a busy picture costs a row of each block, not all of it.
bool sameBlock(const std::uint8_t* a, int strideA, const std::uint8_t* b, int strideB, int rows, int bytes) {
  for (int y = 0; y < rows; ++y, a += strideA, b += strideB) {
    if (bytes == 16 ? std::memcmp(a, b, 16) != 0 : std::memcmp(a, b, static_cast<std::size_t>(bytes)) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool UnchangedBlocks::mark(const PixelBuffer& picture) {
  const std::size_t lumaSize = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  const bool havePrevious = previous_.size() == lumaSize * 3 / 2;
  previous_.resize(lumaSize * 3 / 2);
  flags_.assign(static_cast<std::size_t>(mbWidth_) * static_cast<std::size_t>(mbHeight_), havePrevious ? kConstant : 0);
  const std::uint8_t* y0 = picture.plane(0);
  const std::uint8_t* uv0 = picture.plane(1);
  const int yStride = picture.stride(0), uvStride = picture.stride(1);
  std::uint8_t* keptY = previous_.data();
  std::uint8_t* keptUV = keptY + lumaSize;
  for (int by = 0; by < mbHeight_; ++by) {
    // A chroma row holds a CbCr pair per two luma columns: 16 bytes and 8 rows a block.
    const int lumaTop = by * 16, lumaRows = std::min(16, height_ - lumaTop);
    const int chromaTop = by * 8, chromaRows = std::min(8, height_ / 2 - chromaTop);
    bool stripChanged = !havePrevious;
    for (int bx = 0; havePrevious && bx < mbWidth_; ++bx) {
      const int x = bx * 16, bytes = std::min(16, width_ - x);
      const bool same =
          sameBlock(y0 + static_cast<std::ptrdiff_t>(lumaTop) * yStride + x, yStride,
                    keptY + static_cast<std::ptrdiff_t>(lumaTop) * width_ + x, width_, lumaRows, bytes) &&
          sameBlock(uv0 + static_cast<std::ptrdiff_t>(chromaTop) * uvStride + x, uvStride,
                    keptUV + static_cast<std::ptrdiff_t>(chromaTop) * width_ + x, width_, chromaRows, bytes);
      if (!same) {
        flags_[static_cast<std::size_t>(by) * static_cast<std::size_t>(mbWidth_) + static_cast<std::size_t>(bx)] = 0;
        stripChanged = true;
      }
    }
    if (!stripChanged) continue;
    // Kept a strip at a time: whole rows copy fastest.
    for (int y = lumaTop; y < lumaTop + lumaRows; ++y) {
      std::memcpy(keptY + static_cast<std::ptrdiff_t>(y) * width_, y0 + static_cast<std::ptrdiff_t>(y) * yStride,
                  static_cast<std::size_t>(width_));
    }
    for (int y = chromaTop; y < chromaTop + chromaRows; ++y) {
      std::memcpy(keptUV + static_cast<std::ptrdiff_t>(y) * width_, uv0 + static_cast<std::ptrdiff_t>(y) * uvStride,
                  static_cast<std::size_t>(width_));
    }
  }
  return havePrevious;
}

}  // namespace qx::x264
