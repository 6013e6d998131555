// The session property rules both H.264 backends follow (no encoder opened).

#include "platform/linux/h264/session_settings.h"

#include <gtest/gtest.h>

#include <limits>

namespace qx::h264 {
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

TEST(X264Settings, DurationLimitCountsPresentationTimeSinceTheLastKeyframe) {
  constexpr std::int64_t kTicks = 90'000, kMax = std::numeric_limits<std::int64_t>::max();
  SessionSettings limited;
  limited.maxKeyFrameIntervalDuration = 30.0;
  const struct {
    const SessionSettings& settings;
    std::optional<std::int64_t> last;
    std::int64_t now;
    bool due;
  } cases[] = {
      {limited, 0, 30 * kTicks - 1, false},
      {limited, 0, 30 * kTicks, true},
      {limited, 5 * kTicks, 40 * kTicks, true},
      {limited, std::nullopt, 100 * kTicks, false},  // before the first keyframe
      {limited, -kMax, kMax, true},                  // no overflow
      {limited, kMax, -kMax, false},
      {SessionSettings{}, 0, 1000 * kTicks, false},  // no duration limit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keyframeDueByDuration(c.settings, c.last, c.now, kTicks), c.due) << &c - cases;
  }
}

}  // namespace
}  // namespace qx::h264
