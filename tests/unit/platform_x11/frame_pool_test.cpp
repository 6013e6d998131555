#include "platform/linux/x11/frame_pool.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace qx::x11 {
namespace {

TEST(FramePool, HandsOutAtMostDepthBuffersOfTheGivenSize) {
  FramePool pool(3, 64, 48);
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 3; ++i) {
    PixelBufferRef b = pool.acquire();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->width(), 64);
    EXPECT_EQ(b->height(), 48);
    for (const auto& other : held) EXPECT_NE(other.get(), b.get());
    held.push_back(b);
  }
  EXPECT_EQ(pool.acquire(), nullptr);
  EXPECT_EQ(pool.freeCount(), 0u);
}

TEST(FramePool, SlotReturnsOnlyWhenTheLastReferenceGoes) {
  FramePool pool(1, 16, 16);
  PixelBufferRef first = pool.acquire();
  ASSERT_NE(first, nullptr);
  PixelBufferRef copy = first;  // e.g. the engine's lastPixelBuffer
  first.reset();
  EXPECT_EQ(pool.acquire(), nullptr);
  copy.reset();
  EXPECT_NE(pool.acquire(), nullptr);
}

TEST(FramePool, BuffersMayOutliveThePool) {
  PixelBufferRef survivor;
  {
    FramePool pool(2, 8, 8);
    survivor = pool.acquire();
  }
  ASSERT_NE(survivor, nullptr);
  survivor->plane(0)[0] = 42;  // still valid memory (checked under ASan)
  survivor.reset();
}

TEST(FramePool, ReleasesFromOtherThreadsAreSeen) {
  FramePool pool(4, 16, 16);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::thread> holders;
    for (int i = 0; i < 4; ++i) {
      PixelBufferRef b = pool.acquire();
      ASSERT_NE(b, nullptr);
      holders.emplace_back([b = std::move(b)]() mutable {
        b->plane(0)[0] = 1;
        b.reset();
      });
    }
    for (auto& t : holders) t.join();
    EXPECT_EQ(pool.freeCount(), 4u);
  }
}

}  // namespace
}  // namespace qx::x11
