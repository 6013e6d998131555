// The x264 compression session on its own: property answers, threads,
// the bounded queue and the encoded samples it delivers.

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/x264/x264_session.h"
#include "tests/backend/video/collected_samples.h"
#include "tests/backend/video/nv12_pattern.h"

namespace qx {
namespace {

namespace key = session_key;
using namespace session_status;

CompressionSessionCreateResult make(test::Collected& c, int w, int h, bool lowLatency, int queueDepth = 2) {
  CompressionSessionParams p;
  p.width = w;
  p.height = h;
  if (lowLatency) p.encoderRequest = EncoderRequest{.enableLowLatencyRateControl = true};
  p.output = c.callback();
  return x264SessionFactory({.lowLatencyPreset = "ultrafast", .classicPreset = "ultrafast", .queueDepth = queueDepth})(
      std::move(p));
}

TEST(X264Session, PropertyAnswers) {
  test::Collected c;
  auto created = make(c, 320, 240, true);
  ASSERT_EQ(created.status, kOk);
  auto& s = *created.session;
  EXPECT_EQ(s.setProperty(key::kEnableLTR, std::int64_t{1}), kInvalidParameter);
  EXPECT_EQ(s.setProperty(key::kEnableLTR, true), kOk);
  EXPECT_EQ(s.setProperty("NoSuchKey", true), kPropertyNotSupported);
  EXPECT_EQ(s.setProperty(key::kAllowFrameReordering, true), kPropertyNotSupported);
  EXPECT_EQ(s.setProperty(key::kAllowFrameReordering, false), kOk);
  EXPECT_EQ(s.setProperty(key::kColorPrimaries, std::string("EBU_3213")), kPropertyNotSupported);
  EXPECT_EQ(s.setProperty(key::kAverageBitRate, std::string("8M")), kInvalidParameter);
  EXPECT_EQ(s.setProperty(key::kAverageBitRate, std::int64_t{0}), kInvalidParameter);
  EXPECT_EQ(s.setProperty(key::kDataRateLimits, std::vector<PropertyNumber>{std::int64_t{1000}}), kInvalidParameter);
  EXPECT_EQ(s.setProperty(key::kProfileLevel, std::string(session_value::kProfileConstrainedHighAutoLevel)), kOk);
  EXPECT_EQ(s.setProperty(key::kAverageBitRate, std::int64_t{2'000'000}), kOk);
  EXPECT_EQ(s.prepare(), kOk);
  // After prepare only rate control may change.
  EXPECT_EQ(s.setProperty(key::kProfileLevel, std::string(session_value::kProfileHighAutoLevel)), kPropertyReadOnly);
  EXPECT_EQ(s.setProperty(key::kExpectedFrameRate, std::int64_t{60}), kPropertyReadOnly);
  EXPECT_EQ(s.setProperty(key::kEnableLTR, false), kPropertyReadOnly);
  EXPECT_EQ(s.setProperty(key::kAverageBitRate, std::int64_t{3'000'000}), kOk);
  EXPECT_EQ(s.setProperty(key::kMaxAllowedFrameQP, std::int64_t{42}), kOk);
}

TEST(X264Session, RefusesBadSizesAndFramesBeforePrepare) {
  test::Collected c;
  EXPECT_EQ(make(c, 321, 240, false).status, kInvalidParameter);
  EXPECT_EQ(make(c, 0, 240, false).status, kInvalidParameter);
  auto created = make(c, 320, 240, false);
  ASSERT_TRUE(created.session);
  EXPECT_EQ(created.session->encode(test::patternFrame(320, 240, 0), MediaTime::make(0, 30), std::nullopt),
            kSessionInvalid);
  ASSERT_EQ(created.session->prepare(), kOk);
  EXPECT_EQ(created.session->encode(test::patternFrame(640, 480, 0), MediaTime::make(0, 30), std::nullopt),
            kInvalidParameter);
}

TEST(X264Session, DeliversLengthPrefixedFramesOnItsOwnThread) {
  test::Collected c;
  auto created = make(c, 320, 240, true, 1000);
  auto& s = *created.session;
  ASSERT_EQ(s.prepare(), kOk);
  FrameOptions key;
  key.forceKeyframe = true;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(
        s.encode(test::patternFrame(320, 240, i), MediaTime::make(i, 30), i == 5 ? std::optional(key) : std::nullopt),
        kOk);
  }
  s.completeFrames();
  std::lock_guard g(c.m);
  ASSERT_EQ(c.samples.size(), 10u);
  for (auto id : c.threads) EXPECT_NE(id, std::this_thread::get_id());
  for (std::size_t i = 0; i < c.samples.size(); ++i) {
    const auto& sample = c.samples[i];
    EXPECT_EQ(sample.presentationTime, MediaTime::make(static_cast<std::int64_t>(i), 30));
    EXPECT_EQ(*sample.notSync, !(i == 0 || i == 5)) << i;
    ASSERT_TRUE(sample.parameterSets && sample.parameterSets->size() == 2);
    EXPECT_EQ((*sample.parameterSets)[0][0] & 0x1F, 7);
    EXPECT_EQ((*sample.parameterSets)[1][0] & 0x1F, 8);
    // The block is exactly a chain of 4-byte lengths and NAL units.
    const auto& d = *sample.data;
    std::size_t off = 0;
    while (off + 4 <= d.size()) {
      const std::size_t n =
          (std::size_t{d[off]} << 24) | (std::size_t{d[off + 1]} << 16) | (std::size_t{d[off + 2]} << 8) | d[off + 3];
      ASSERT_GT(n, 0u);
      off += 4 + n;
    }
    EXPECT_EQ(off, d.size()) << i;
  }
}

TEST(X264Session, FullQueueNeverDropsAFrameThatCarriesARequest) {
  test::Collected c;
  auto created = make(c, 1920, 1080, false, 1);
  auto& s = *created.session;
  ASSERT_EQ(s.prepare(), kOk);
  FrameOptions key;
  key.forceKeyframe = true;
  auto frame = test::patternFrame(1920, 1080, 3);
  // Submitted back to back, faster than x264 encodes 1080p: frames are dropped,
  // but the keyframe request moves to whichever frame replaces its own.
  constexpr int kFrames = 12;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(s.encode(frame, MediaTime::make(i, 30), i == 2 ? std::optional(key) : std::nullopt), kOk);
  }
  s.completeFrames();
  std::lock_guard g(c.m);
  // Frame 0 itself may have been replaced too, so look only at what came
  // out from frame 2 on: one of those must be the forced keyframe.
  bool forcedKeyframe = false;
  for (const auto& sample : c.samples) forcedKeyframe |= sample.presentationTime.value >= 2 && !*sample.notSync;
  EXPECT_LE(c.samples.size(), static_cast<std::size_t>(kFrames));
  EXPECT_TRUE(forcedKeyframe) << "delivered " << c.samples.size();
  EXPECT_EQ(c.failures, 0);
}

}  // namespace
}  // namespace qx
