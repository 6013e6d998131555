// The mapping from session properties to x264's settings (no encoder opened).

#include "platform/linux/x264/x264_settings.h"

#include <gtest/gtest.h>

namespace qx::x264 {
namespace {

namespace key = session_key;
using namespace session_status;

TEST(X264Settings, RateKeysChangeAnyTimeShapeKeysOnlyBeforePrepare) {
  SessionSettings s;
  EXPECT_EQ(applyProperty(s, key::kExpectedFrameRate, std::int64_t{60}, false), kOk);
  EXPECT_EQ(s.fps, 60.0);
  EXPECT_EQ(applyProperty(s, key::kExpectedFrameRate, std::int64_t{30}, true), kPropertyReadOnly);
  EXPECT_EQ(s.fps, 60.0);
  EXPECT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{5'000'000}, true), kOk);
  EXPECT_EQ(applyProperty(s, key::kEnableLTR, true, false), kPropertyNotSupported);
  EXPECT_EQ(applyProperty(s, key::kEnableLTR, false, false), kOk);
  EXPECT_EQ(applyProperty(s, key::kMaxAllowedFrameQP, 4.0, false), kInvalidParameter);
  EXPECT_EQ(applyProperty(s, key::kDataRateLimits, std::vector<PropertyNumber>{std::int64_t{10}, 0.0}, false),
            kInvalidParameter);
}

TEST(X264Settings, AverageBitrateWithWindowsBecomesAbrWithVbv) {
  SessionSettings s;
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{8'000'000}, false), kOk);
  ASSERT_EQ(applyProperty(s, key::kDataRateLimits,
                          std::vector<PropertyNumber>{std::int64_t{250'000}, 0.25, std::int64_t{2'000'000}, 1.0},
                          false),
            kOk);
  ASSERT_EQ(applyProperty(s, key::kMaxAllowedFrameQP, std::int64_t{42}, false), kOk);
  const RateMapping m = mapRate(s.rate);
  EXPECT_TRUE(m.abr);
  EXPECT_EQ(m.bitrateKbps, 8000);
  EXPECT_EQ(m.vbvMaxKbps, 8000);     // the quarter-second window is the lower rate
  EXPECT_EQ(m.vbvBufferKbit, 1000);  // half of its 2,000 kbit
  EXPECT_FALSE(m.filler);
  EXPECT_EQ(m.qpMax, 42);

  // A peak window lower than the average window's rate wins.
  ASSERT_EQ(applyProperty(s, key::kDataRateLimits,
                          std::vector<PropertyNumber>{std::int64_t{250'000}, 0.25, std::int64_t{500'000}, 1.0},
                          true),
            kOk);
  EXPECT_EQ(mapRate(s.rate).vbvMaxKbps, 4000);
}

TEST(X264Settings, LastBitrateKeyDecidesTheMode) {
  SessionSettings s;
  EXPECT_FALSE(mapRate(s.rate).abr);  // nothing set: x264's constant quality
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{6'000'000}, false), kOk);
  ASSERT_EQ(applyProperty(s, key::kConstantBitRate, std::int64_t{4'000'000}, true), kOk);
  RateMapping m = mapRate(s.rate);
  EXPECT_EQ(m, (RateMapping{.abr = true, .bitrateKbps = 4000, .vbvMaxKbps = 4000, .vbvBufferKbit = 1000,
                            .filler = true, .qpMax = std::nullopt}));
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{6'000'000}, true), kOk);
  EXPECT_FALSE(mapRate(s.rate).filler);
  // A bitrate beyond what x264's int kbit/s holds is clamped, not wrapped.
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::numeric_limits<std::int64_t>::max(), true), kOk);
  EXPECT_EQ(mapRate(s.rate).bitrateKbps, std::numeric_limits<int>::max());
}

TEST(X264Settings, KeyframeIntervalTakesTheTighterLimit) {
  constexpr int kInfinite = 1 << 30;
  SessionSettings s;
  EXPECT_EQ(keyframeInterval(s, kInfinite), kInfinite);
  s.fps = 30;
  s.maxKeyFrameInterval = 900;
  EXPECT_EQ(keyframeInterval(s, kInfinite), 900);
  s.maxKeyFrameIntervalDuration = 10.0;
  EXPECT_EQ(keyframeInterval(s, kInfinite), 300);
  s.maxKeyFrameInterval = 0;
  s.maxKeyFrameIntervalDuration = 1e12;
  EXPECT_EQ(keyframeInterval(s, kInfinite), kInfinite);
}

}  // namespace
}  // namespace qx::x264
