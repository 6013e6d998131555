// The OpenH264 compression session on its own: property answers, and the
// long-term-reference loop against the real encoder: tokens on marks,
// acknowledgements, refresh frames, and marks that are never answered.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "platform/linux/h264/h264_syntax.h"
#include "platform/linux/openh264/openh264_session.h"
#include "tests/backend/video/collected_samples.h"
#include "tests/backend/video/nv12_pattern.h"

namespace qx {
namespace {

namespace key = session_key;
using namespace session_status;
using namespace std::chrono_literals;

constexpr int kW = 320;
constexpr int kH = 240;

struct Fixture {
  test::Collected c;
  std::atomic<std::int64_t> nowMs{0};
  std::unique_ptr<CompressionSession> session;

  explicit Fixture(bool ltr, int threads = 1) {
    CompressionSessionParams p;
    p.width = kW;
    p.height = kH;
    p.encoderRequest = EncoderRequest{.enableLowLatencyRateControl = true, .longTermReferences = ltr};
    p.output = c.callback();
    auto created = openh264SessionFactory(
        {.threads = threads, .now = [this] { return std::chrono::milliseconds(nowMs.load()); }})(std::move(p));
    session = std::move(created.session);
    if (!session) return;
    EXPECT_EQ(session->setProperty(key::kEnableLTR, ltr), kOk);
    EXPECT_EQ(session->setProperty(key::kAverageBitRate, std::int64_t{1'000'000}), kOk);
    EXPECT_EQ(session->prepare(), kOk);
  }

  // Encodes frame `i` (33 ms apart on the injected clock) and returns what
  // came out for it.
  EncodedSample encode(int i, FrameOptions options = {}) {
    nowMs = i * 33;
    EXPECT_EQ(session->encode(test::patternFrame(kW, kH, i, test::Pattern::screen), MediaTime::make(i, 30), options),
              kOk);
    session->completeFrames();
    std::lock_guard g(c.m);
    EXPECT_FALSE(c.samples.empty());
    return c.samples.empty() ? EncodedSample{} : c.samples.back();
  }
};

FrameOptions refreshRequest() {
  FrameOptions o;
  o.forceLTRRefresh = true;
  return o;
}

// Every slice of the sample, read with its own parameter sets.
std::vector<h264::SliceHeader> slices(const EncodedSample& sample) {
  h264::ParameterSetTable table;
  for (const auto& set : *sample.parameterSets) {
    if (auto nal = h264::nalUnit(set)) table.add(*nal);
  }
  std::vector<h264::SliceHeader> out;
  for (const auto& nal : h264::splitLengthPrefixed(*sample.data)) {
    if (auto slice = table.parseSlice(nal)) out.push_back(*slice);
  }
  return out;
}

TEST(OpenH264Session, PropertyAnswers) {
  test::Collected c;
  CompressionSessionParams p;
  p.width = kW;
  p.height = kH;
  p.output = c.callback();
  auto created = openh264SessionFactory()(std::move(p));
  ASSERT_EQ(created.status, kOk);
  auto& s = *created.session;
  const std::string k709(session_value::kITU_R_709_2);
  const struct {
    std::string_view key;
    PropertyValue value;
    std::int32_t status;
  } before[] = {
      {key::kRealTime, true, kOk},
      {key::kProfileLevel, std::string(session_value::kProfileConstrainedHighAutoLevel), kOk},
      {key::kProfileLevel, std::string("H264_Extended_AutoLevel"), kPropertyNotSupported},
      {key::kAllowFrameReordering, false, kOk},
      {key::kAllowFrameReordering, true, kPropertyNotSupported},
      {key::kColorPrimaries, k709, kOk},
      {key::kTransferFunction, k709, kOk},
      {key::kYCbCrMatrix, k709, kOk},
      {key::kYCbCrMatrix, std::string("ITU_R_601_4"), kPropertyNotSupported},
      {key::kMaxKeyFrameInterval, std::int64_t{900}, kOk},
      {key::kMaxKeyFrameIntervalDuration, 30.0, kOk},
      {key::kExpectedFrameRate, std::int64_t{30}, kOk},
      {key::kEnableLTR, std::int64_t{1}, kInvalidParameter},
      {key::kEnableLTR, true, kOk},
      {key::kAverageBitRate, std::int64_t{4'000'000}, kOk},
      {key::kDataRateLimits, std::vector<PropertyNumber>{std::int64_t{125'000}, 0.25, std::int64_t{1'000'000}, 1.0},
       kOk},
      {key::kMaxAllowedFrameQP, std::int64_t{42}, kOk},
      {"NoSuchKey", true, kPropertyNotSupported},
  };
  for (const auto& row : before) EXPECT_EQ(s.setProperty(row.key, row.value), row.status) << row.key;
  ASSERT_EQ(s.prepare(), kOk);
  EXPECT_EQ(s.setProperty(key::kEnableLTR, false), kPropertyReadOnly);
  EXPECT_EQ(s.setProperty(key::kProfileLevel, std::string(session_value::kProfileHighAutoLevel)), kPropertyReadOnly);
  EXPECT_EQ(s.setProperty(key::kAverageBitRate, std::int64_t{2'000'000}), kOk);
}

// With several encoder threads the picture is cut into one slice per thread,
// and each slice has its own reference list: every one must predict from the
// acknowledged picture alone, and every one must carry the mark.
TEST(OpenH264Session, AcknowledgedMarkMakesTheRefreshAPredictedFrame) {
  for (const int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    Fixture f(true, threads);
    ASSERT_TRUE(f.session);
    const EncodedSample idr = f.encode(0);
    EXPECT_FALSE(*idr.notSync);
    EXPECT_EQ(slices(idr).size(), static_cast<std::size_t>(threads));
    std::optional<std::int64_t> token = idr.ltrToken;
    int i = 1;
    for (; !token && i < 60; ++i) {
      const EncodedSample s = f.encode(i);
      token = s.ltrToken;
      if (!token) continue;
      const auto all = slices(s);
      ASSERT_FALSE(all.empty());
      for (const auto& slice : all) {
        EXPECT_EQ(slice.mmcos, all.front().mmcos) << "the slices of the marked picture mark differently";
        EXPECT_EQ(slice.longTermReference, all.front().longTermReference);
      }
    }
    ASSERT_TRUE(token) << "no picture was marked";
    f.encode(i++, FrameOptions{.acknowledgedTokens = {*token}});
    for (const int end = i + 5; i < end; ++i) f.encode(i);

    const EncodedSample refresh = f.encode(i++, refreshRequest());
    EXPECT_TRUE(*refresh.notSync) << "the refresh came out as a keyframe";
    const auto all = slices(refresh);
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads));
    for (const auto& slice : all) {
      ASSERT_FALSE(slice.list0.empty());
      EXPECT_EQ(slice.list0.front().idc, 2) << "a slice of the refresh does not name a long-term picture";
      EXPECT_EQ(slice.numRefIdxL0Active, 1);
    }
  }
}

TEST(OpenH264Session, RefreshWithNothingAcknowledgedIsAKeyframe) {
  Fixture f(true);
  ASSERT_TRUE(f.session);
  for (int i = 0; i < 10; ++i) f.encode(i);
  EXPECT_FALSE(*f.encode(10, refreshRequest()).notSync);
}

TEST(OpenH264Session, UnansweredMarksTimeOutAndMarkingResumes) {
  Fixture f(true);
  ASSERT_TRUE(f.session);
  // 150 frames are 5 s on the injected clock. Besides the IDR's own mark, the
  // encoder marks one picture and then waits for its answer: without the
  // timeout, no further mark would ever come.
  std::vector<int> marked;
  for (int i = 0; i < 150; ++i) {
    if (f.encode(i).ltrToken) marked.push_back(i);
  }
  ASSERT_GE(marked.size(), 3u) << "marks stalled";
  EXPECT_EQ(marked[0], 0);
}

TEST(OpenH264Session, WithoutLongTermReferencesNoSampleCarriesAToken) {
  Fixture f(false);
  ASSERT_TRUE(f.session);
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(f.encode(i).ltrToken) << i;
  EXPECT_FALSE(*f.encode(40, refreshRequest()).notSync);
}

}  // namespace
}  // namespace qx
