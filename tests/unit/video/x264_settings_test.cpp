// The mapping from session properties to x264's rate settings (no encoder opened).

#include "platform/linux/x264/x264_settings.h"

#include <gtest/gtest.h>

namespace qx::x264 {
namespace {

namespace key = session_key;
using namespace session_status;
using h264::applyProperty;
using h264::SessionSettings;

TEST(X264Settings, AverageBitrateBecomesQualityUnderAVbvCap) {
  SessionSettings s;
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{8'000'000}, false), kOk);
  ASSERT_EQ(
      applyProperty(s, key::kDataRateLimits,
                    std::vector<PropertyNumber>{std::int64_t{250'000}, 0.25, std::int64_t{2'000'000}, 1.0}, false),
      kOk);
  ASSERT_EQ(applyProperty(s, key::kMaxAllowedFrameQP, std::int64_t{42}, false), kOk);
  const RateMapping m = mapRate(s.rate);
  EXPECT_EQ(m.method, RateMethod::cappedQuality);
  EXPECT_GE(m.rateFactor, 1.0);      // 0 would make x264 lossless, without rate control
  EXPECT_EQ(m.vbvMaxKbps, 8000);     // the quarter-second window's rate
  EXPECT_EQ(m.vbvBufferKbit, 1000);  // half of its 2,000 kbit
  EXPECT_FALSE(m.filler);
  EXPECT_EQ(m.qpMax, 42);

  // A peak window lower than the average window's rate wins.
  ASSERT_EQ(applyProperty(s, key::kDataRateLimits,
                          std::vector<PropertyNumber>{std::int64_t{250'000}, 0.25, std::int64_t{500'000}, 1.0}, true),
            kOk);
  EXPECT_EQ(mapRate(s.rate).vbvMaxKbps, 4000);

  // Windows looser than the average do not lift the cap above it.
  ASSERT_EQ(
      applyProperty(s, key::kDataRateLimits,
                    std::vector<PropertyNumber>{std::int64_t{1'000'000}, 0.25, std::int64_t{4'000'000}, 1.0}, true),
      kOk);
  EXPECT_EQ(mapRate(s.rate).vbvMaxKbps, 8000);
  EXPECT_EQ(mapRate(s.rate).vbvBufferKbit, 4000);

  // Without windows the cap is the average over one second.
  SessionSettings bare;
  ASSERT_EQ(applyProperty(bare, key::kAverageBitRate, std::int64_t{3'000'000}, false), kOk);
  EXPECT_EQ(mapRate(bare.rate).vbvMaxKbps, 3000);
  EXPECT_EQ(mapRate(bare.rate).vbvBufferKbit, 3000);
}

TEST(X264Settings, LastBitrateKeyDecidesTheMode) {
  SessionSettings s;
  EXPECT_EQ(mapRate(s.rate).method, RateMethod::defaultQuality);  // nothing set: x264's default
  ASSERT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{6'000'000}, false), kOk);
  ASSERT_EQ(applyProperty(s, key::kConstantBitRate, std::int64_t{4'000'000}, false), kOk);
  RateMapping m = mapRate(s.rate);
  EXPECT_EQ(m, (RateMapping{.method = RateMethod::abr,
                            .bitrateKbps = 4000,
                            .vbvMaxKbps = 4000,
                            .vbvBufferKbit = 1000,
                            .filler = true,
                            .qpMax = std::nullopt}));
  // A bitrate beyond what x264's int kbit/s holds is clamped, not wrapped.
  ASSERT_EQ(applyProperty(s, key::kConstantBitRate, std::numeric_limits<std::int64_t>::max(), true), kOk);
  EXPECT_EQ(mapRate(s.rate).bitrateKbps, std::numeric_limits<int>::max());

  // Once open, x264 keeps its rate-control method: the other bitrate key is
  // refused rather than accepted and silently not applied.
  EXPECT_EQ(applyProperty(s, key::kAverageBitRate, std::int64_t{6'000'000}, true), kPropertyReadOnly);
  EXPECT_EQ(mapRate(s.rate).method, RateMethod::abr);
  SessionSettings average;
  ASSERT_EQ(applyProperty(average, key::kAverageBitRate, std::int64_t{6'000'000}, false), kOk);
  EXPECT_EQ(applyProperty(average, key::kConstantBitRate, std::int64_t{6'000'000}, true), kPropertyReadOnly);
  EXPECT_EQ(applyProperty(average, key::kAverageBitRate, std::int64_t{2'000'000}, true), kOk);
  EXPECT_EQ(mapRate(average.rate).vbvMaxKbps, 2000);
}

}  // namespace
}  // namespace qx::x264
