#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "video/encoder_stats.h"
#include "video/rate_control.h"

namespace qx {
namespace {

TEST(RateControlArithmetic, WindowAndPeakExamples) {
  EXPECT_EQ(rate_control::limitsFor(8'000'000, 0), (rate_control::DataRateLimits{250'000, 2'000'000}));
  EXPECT_EQ(rate_control::limitsFor(8'000'000, 12'000'000).peakBytes, 1'500'000);
  // A peak below the target is raised to the target.
  EXPECT_EQ(rate_control::limitsFor(8'000'000, 4'000'000).peakBytes, 1'000'000);
  // A peak above twice the target is capped there.
  EXPECT_EQ(rate_control::limitsFor(8'000'000, 50'000'000).peakBytes, 2'000'000);
  EXPECT_EQ(rate_control::limitsFor(20'000'000, 0), (rate_control::DataRateLimits{625'000, 5'000'000}));
  // The window truncates toward zero.
  EXPECT_EQ(rate_control::limitsFor(1'000'001, 0).windowBytes, 31'250);
}

TEST(RateControlArithmetic, HugeBitrateSaturatesInsteadOfOverflowing) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const auto limits = rate_control::limitsFor(max, 0);
  EXPECT_EQ(limits.peakBytes, max / 8);
  EXPECT_GT(limits.windowBytes, 0);
  EXPECT_EQ(rate_control::limitsFor(max, max).peakBytes, max / 8);
}

TEST(RateControlArithmetic, RequestedBitrateClamps) {
  EXPECT_EQ(rate_control::clampRequested(500'000), 1'000'000);
  EXPECT_EQ(rate_control::clampRequested(-5), 1'000'000);
  EXPECT_EQ(rate_control::clampRequested(80'000'000), 60'000'000);
  EXPECT_EQ(rate_control::clampRequested(12'345'678), 12'345'678);
}

TEST(StatsLine, ExampleWindowPrintsExactly) {
  StatsWindow w;
  w.addFrame(60'000, true);
  // 39 more frames totalling 940,000 bytes, none larger than the keyframe.
  for (int i = 0; i < 38; ++i) w.addFrame(24'000, false);
  w.addFrame(940'000 - 38 * 24'000, false);
  for (int i = 0; i < 15; ++i) w.addLatency(12.5);
  w.addLatency(200.0 - 15 * 12.5);
  for (int i = 0; i < 24; ++i) w.addLatency(0.0);
  ASSERT_EQ(w.bytes, 1'000'000);
  ASSERT_EQ(w.frames, 40);
  EXPECT_EQ(formatStatsLine(w, 1.25, 8'000'000),
            "[stats] out=6400kbps fps=32 avg=24.4KB max=58.6KB idr=1 idr_kb=58.6 target=8000kbps enc_ms=5.0/12.5");
}

TEST(StatsLine, NoKeyframesAndNoLatencies) {
  StatsWindow w;
  w.addFrame(2048, false);
  EXPECT_EQ(formatStatsLine(w, 2.0, 1'500'999),
            "[stats] out=8kbps fps=0 avg=2.0KB max=2.0KB idr=0 idr_kb=0.0 target=1500kbps enc_ms=0.0/0.0");
}

TEST(StatsLine, SixtyFourBitValuesPrintWhole) {
  StatsWindow w;
  w.addFrame(std::numeric_limits<std::int64_t>::max(), true);
  w.addFrame(10, true);  // the byte sum saturates rather than wrapping negative
  EXPECT_EQ(w.bytes, std::numeric_limits<std::int64_t>::max());
  const auto line = formatStatsLine(w, 1.0, 9'000'000'000'000);
  EXPECT_NE(line.find("idr=2 "), std::string::npos) << line;
  EXPECT_NE(line.find("target=9000000000kbps"), std::string::npos) << line;
}

}  // namespace
}  // namespace qx
