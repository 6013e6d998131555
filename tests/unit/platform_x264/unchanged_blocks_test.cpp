// The macroblocks x264 is told are unchanged: a wrong one would leave a
// stale block on the receiver's screen until it changes again.

#include "platform/linux/x264/unchanged_blocks.h"

#include <gtest/gtest.h>

#include <vector>

namespace qx::x264 {
namespace {

// 70 x 136: 5 x 9 macroblocks, the last column 6 pixels wide and the last
// row 8 high.
constexpr int kW = 70, kH = 136, kMbW = 5, kMbH = 9;

std::vector<int> unmarked(UnchangedBlocks& blocks) {
  std::vector<int> list;
  for (int i = 0; i < kMbW * kMbH; ++i) {
    if (blocks.flags()[i] != UnchangedBlocks::kConstant) list.push_back(i);
  }
  return list;
}

TEST(UnchangedBlocks, AChangedSampleUnmarksItsMacroblockOnly) {
  struct Case {
    const char* name;
    int plane, x, y;  // x in bytes of the plane's row
    int block;
  };
  const Case cases[] = {
      {"luma, first sample of a block", 0, 16, 32, 2 * kMbW + 1},
      {"luma, last sample of a block", 0, 47, 63, 3 * kMbW + 2},
      {"luma, the narrow, short corner block", 0, 69, 135, 8 * kMbW + 4},
      {"chroma pair, Cr byte", 1, 33, 16, 2 * kMbW + 2},
      {"chroma, the corner block", 1, 64, 67, 8 * kMbW + 4},
  };
  for (const Case& c : cases) {
    UnchangedBlocks blocks(kW, kH);
    PixelBuffer picture(kW, kH);
    EXPECT_FALSE(blocks.mark(picture)) << c.name << ": nothing to compare with";
    ASSERT_TRUE(blocks.mark(picture));
    EXPECT_EQ(unmarked(blocks), std::vector<int>{}) << c.name;
    picture.plane(c.plane)[c.y * picture.stride(c.plane) + c.x] ^= 1;
    ASSERT_TRUE(blocks.mark(picture));
    EXPECT_EQ(unmarked(blocks), std::vector<int>{c.block}) << c.name;
    // Compared with the changed picture, not the first one.
    ASSERT_TRUE(blocks.mark(picture));
    EXPECT_EQ(unmarked(blocks), std::vector<int>{}) << c.name;
  }
}

}  // namespace
}  // namespace qx::x264
