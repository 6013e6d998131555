#include "platform/linux/x11/damage_region.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace qx::x11 {
namespace {

TEST(DamageRegion, StartsWholeAndClearsToEmpty) {
  DamageRegion region(640, 480);
  EXPECT_TRUE(region.whole());
  region.clear();
  EXPECT_TRUE(region.empty());
  region.add({700, 10, 50, 50});  // off the picture
  region.add({10, 10, 0, 50});
  EXPECT_TRUE(region.empty());
}

TEST(DamageRegion, MergesWhatLiesCloseAndKeepsDistantChangesApart) {
  struct Case {
    const char* what;
    std::vector<PixelRect> added;
    std::vector<PixelRect> expected;
  };
  const Case cases[] = {
      {"odd edges widen to even ones, clipped", {{3, 5, 4, 4}, {637, 477, 9, 9}}, {{2, 4, 6, 6}, {636, 476, 4, 4}}},
      {"side by side", {{0, 0, 10, 10}, {10, 0, 10, 10}}, {{0, 0, 20, 10}}},
      {"contained", {{0, 0, 100, 100}, {20, 20, 10, 10}}, {{0, 0, 100, 100}}},
      {"a small gap", {{0, 0, 20, 20}, {30, 30, 20, 20}}, {{0, 0, 50, 50}}},
      {"far apart", {{0, 0, 200, 200}, {400, 260, 200, 200}}, {{0, 0, 200, 200}, {400, 260, 200, 200}}},
      {"more than half the picture", {{0, 0, 640, 200}, {0, 280, 640, 200}}, {{0, 0, 640, 480}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DamageRegion region(640, 480);
    region.clear();
    for (const PixelRect& r : c.added) region.add(r);
    EXPECT_EQ(region.rects(), c.expected);
  }
}

// Whatever is added, every changed pixel stays covered, the rectangles stay
// few, even-edged and inside the picture.
TEST(DamageRegion, AStormOfChangesStaysCoveredAndBounded) {
  constexpr int kW = 320, kH = 200;
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    DamageRegion region(kW, kH);
    region.clear();
    std::vector<bool> changed(kW * kH, false);
    const int count = 1 + static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
      const int big = random() % 10 == 0 ? 60 : 6;
      const PixelRect r{static_cast<int>(random() % kW) - 3, static_cast<int>(random() % kH) - 3,
                        1 + static_cast<int>(random() % big), 1 + static_cast<int>(random() % big)};
      region.add(r);
      const PixelRect in = intersection(r, {0, 0, kW, kH});
      for (int y = in.y; y < in.bottom(); ++y) {
        for (int x = in.x; x < in.right(); ++x) changed[y * kW + x] = true;
      }
    }
    ASSERT_LE(region.rects().size(), DamageRegion::kMaxRects);
    std::vector<bool> covered(kW * kH, false);
    for (const PixelRect& r : region.rects()) {
      ASSERT_EQ(r.x % 2 + r.y % 2 + r.width % 2 + r.height % 2, 0);
      ASSERT_EQ(intersection(r, {0, 0, kW, kH}), r);
      for (int y = r.y; y < r.bottom(); ++y) {
        for (int x = r.x; x < r.right(); ++x) covered[y * kW + x] = true;
      }
    }
    for (int p = 0; p < kW * kH; ++p) ASSERT_TRUE(!changed[p] || covered[p]) << "pixel " << p % kW << "," << p / kW;
  }
}

}  // namespace
}  // namespace qx::x11
