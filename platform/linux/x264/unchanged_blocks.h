#pragma once

// Which macroblocks of a picture are the same as in the previous one, in the
// form x264 takes them (x264_image_properties_t::mb_info): x264 then skips
// them without analysing them, which on a desktop is most of the picture.
// Plain state, so tests need no encoder.

#include <cstdint>
#include <vector>

#include "platform/media.h"

namespace qx::x264 {

class UnchangedBlocks {
 public:
  // Flag of an unchanged macroblock (X264_MBINFO_CONSTANT). x264 skips such
  // a block only when it predicts from the previous picture and that picture
  // coded the block at no coarser a quantiser than this one's, so a block
  // coded coarsely during a burst is still refined once the rate allows.
  static constexpr std::uint8_t kConstant = 1;

  UnchangedBlocks(int width, int height);

  // Compares `picture` (NV12, the session's size) with the previous one and
  // keeps it. False for the first picture (nothing to compare with).
  bool mark(const PixelBuffer& picture);
  // Forgets the previous picture (the encoder did not take it).
  void reset() { previous_.clear(); }

  // One byte per macroblock, rows of (width + 15) / 16.
  [[nodiscard]] std::uint8_t* flags() { return flags_.data(); }

 private:
  const int width_;
  const int height_;
  const int mbWidth_;
  const int mbHeight_;
  std::vector<std::uint8_t> previous_;  // NV12 without padding
  std::vector<std::uint8_t> flags_;
};

}  // namespace qx::x264
