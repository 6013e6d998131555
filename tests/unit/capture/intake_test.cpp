#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture/frame_intake.h"
#include "capture/h264_encoder_port.h"
#include "tests/fakes/fake_compression_session.h"
#include "tests/unit/capture/engine_harness.h"

namespace qx::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMs = 1'000'000;

TEST(NextPresentationTime, KeepsTimesStrictlyIncreasing) {
  const MediaTime last = MediaTime::fromHostNanos(5'000 * kMs);
  EXPECT_EQ(nextPresentationTime(MediaTime::invalid(), last), last);
  EXPECT_EQ(nextPresentationTime(last, MediaTime::fromHostNanos(5'001 * kMs)), MediaTime::fromHostNanos(5'001 * kMs));
  // Equal and earlier times both become the last + 1 ms.
  EXPECT_EQ(nextPresentationTime(last, last), MediaTime::fromHostNanos(5'001 * kMs));
  EXPECT_EQ(nextPresentationTime(last, MediaTime::fromHostNanos(4'000 * kMs)), MediaTime::fromHostNanos(5'001 * kMs));
  // Later by less than a millisecond is still later.
  EXPECT_EQ(nextPresentationTime(last, MediaTime::fromHostNanos(5'000 * kMs + 1)),
            MediaTime::fromHostNanos(5'000 * kMs + 1));
  // Compared across timescales: 5 s at 600 equals 5 s in nanoseconds.
  EXPECT_EQ(nextPresentationTime(last, MediaTime::make(3000, 600)), MediaTime::fromHostNanos(5'001 * kMs));
}

TEST(NextPresentationTime, AddsOneMillisecondExactlyInAnyTimescale) {
  EXPECT_EQ(addOneMillisecond(MediaTime::make(7, 1000)), MediaTime::make(8, 1000));
  // 600 cannot hold 1 ms: moved to 3000, still exact.
  const MediaTime t = addOneMillisecond(MediaTime::make(600, 600));
  EXPECT_EQ(compare(t, MediaTime::make(1001, 1000)), 0);
  EXPECT_TRUE(t.isValid());
}

TEST(ScreenFrameChecks, OnlyCompleteFramesWithPixelsPass) {
  auto pixels = std::make_shared<PixelBuffer>(16, 16);
  EXPECT_TRUE(isCompleteScreenFrame(fake::screenSample(pixels, 0, 1)));

  EXPECT_FALSE(isCompleteScreenFrame(fake::screenSample(pixels, 1, 1)));  // idle
  EXPECT_FALSE(isCompleteScreenFrame(fake::screenSample(pixels, 3, 1)));  // suspended
  EXPECT_FALSE(isCompleteScreenFrame(fake::screenSample(nullptr, 0, 1)));

  SampleBuffer noSamples = fake::screenSample(pixels, 0, 1);
  noSamples.numSamples = 0;
  EXPECT_FALSE(isCompleteScreenFrame(noSamples));

  SampleBuffer noAttachments = fake::screenSample(pixels, 0, 1);
  noAttachments.attachments.reset();
  EXPECT_FALSE(isCompleteScreenFrame(noAttachments));
  noAttachments.attachments.emplace();
  EXPECT_FALSE(isCompleteScreenFrame(noAttachments));

  SampleBuffer noStatus = fake::screenSample(pixels, 0, 1);
  noStatus.attachments->front().clear();
  EXPECT_FALSE(isCompleteScreenFrame(noStatus));

  SampleBuffer wrongType = fake::screenSample(pixels, 0, 1);
  wrongType.attachments->front()[std::string(kFrameInfoStatus)] = 0.0;
  EXPECT_FALSE(isCompleteScreenFrame(wrongType));
}

TEST(IdleDecision, ConfirmKeepAliveAndKeyDue) {
  EXPECT_FALSE(shouldResubmit(true, 299ms, false));
  EXPECT_TRUE(shouldResubmit(true, 300ms, false));
  EXPECT_FALSE(shouldResubmit(false, 1999ms, false));
  EXPECT_TRUE(shouldResubmit(false, 2000ms, false));
  // A waiting request is served once 50 ms have passed, whatever the state.
  EXPECT_FALSE(shouldResubmit(false, 49ms, true));
  EXPECT_TRUE(shouldResubmit(false, 50ms, true));
  EXPECT_TRUE(shouldResubmit(true, 50ms, true));
}

class Intake : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
    h.start();
    ASSERT_TRUE(h.started());
  }

  std::vector<std::int64_t> submitTimes() const {
    std::vector<std::int64_t> times;
    for (const auto& f : h.encoder->frames()) times.push_back(f.submittedAtNanos);
    return times;
  }

  EngineHarness h;
};

TEST_F(Intake, StillScreenCadenceIsConfirmThenEveryTwoSeconds) {
  const std::int64_t t = h.clock.hostNanos();
  auto pixels = h.deliverFrame();
  h.run(5s);
  const auto times = submitTimes();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_EQ(times[0], t);
  // Each within one 50 ms tick of T + 0.3, T + 2.3, T + 4.3.
  for (auto [i, offset] : {std::pair{1, 300 * kMs}, {2, 2300 * kMs}, {3, 4300 * kMs}}) {
    EXPECT_GE(times[static_cast<std::size_t>(i)] - t, offset) << i;
    EXPECT_LT(times[static_cast<std::size_t>(i)] - t, offset + 50 * kMs) << i;
  }
  // Re-submissions carry the same picture, stamped with the host clock.
  for (const auto& f : h.encoder->frames()) EXPECT_EQ(f.pixels, pixels);
  EXPECT_EQ(h.encoder->frames()[1].pts, MediaTime::fromHostNanos(times[1]));
}

TEST_F(Intake, NothingIsResubmittedBeforeTheFirstFrame) {
  h.encoder->requestKeyframe();
  h.run(5s);
  EXPECT_TRUE(h.encoder->frames().empty());
}

TEST_F(Intake, KeyframeRequestOnAStillScreenIsServedAtTheNextTick) {
  h.deliverFrame();
  h.run(1s);  // the confirm re-submission has happened
  ASSERT_EQ(h.encoder->frames().size(), 2u);
  const std::int64_t asked = h.clock.hostNanos();
  h.encoder->requestKeyframe();
  h.run(60ms);
  auto times = submitTimes();
  ASSERT_EQ(times.size(), 3u);
  EXPECT_LE(times[2] - asked, 50 * kMs);
  // The request was pending as that frame went in, so a confirm follows 0.3 s later.
  h.run(400ms);
  times = submitTimes();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[3] - times[2], 300 * kMs);
  EXPECT_LT(times[3] - times[2], 350 * kMs);
}

TEST_F(Intake, SamePresentationTimeTwiceIsMadeOneMillisecondLater) {
  const std::int64_t t = h.clock.hostNanos();
  h.deliverFrame(0, t);
  h.deliverFrame(0, t);
  const auto frames = h.encoder->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].pts, MediaTime::fromHostNanos(t + kMs));
}

TEST_F(Intake, CapturedFrameStampedBeforeAResubmissionFollowsIt) {
  h.deliverFrame();
  h.run(310ms);
  auto frames = h.encoder->frames();
  ASSERT_EQ(frames.size(), 2u);
  const MediaTime resubmitted = frames[1].pts;
  h.deliverFrame(0, resubmitted.value - 5 * kMs);
  frames = h.encoder->frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].pts, MediaTime::fromHostNanos(resubmitted.value + kMs));
}

TEST_F(Intake, IncompleteFramesAreDroppedWithoutTouchingTheCadence) {
  const std::int64_t t = h.clock.hostNanos();
  h.deliverFrame();
  h.run(1s);
  h.deliverFrame(1);  // idle status
  h.deliverFrame(5);  // stopped status
  h.run(1500ms);
  const auto times = submitTimes();
  // Keep-alive still counts from the confirm at T + 0.3.
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GE(times[2] - t, 2300 * kMs);
  EXPECT_LT(times[2] - t, 2350 * kMs);
}

TEST_F(Intake, UnknownOutputTypesAreIgnored) {
  auto pixels = std::make_shared<PixelBuffer>(16, 16);
  h.capture.lastStream()->deliver(fake::screenSample(pixels, 0, h.clock.hostNanos()), StreamOutputType::audio);
  h.dispatch.runDue();
  EXPECT_TRUE(h.encoder->frames().empty());  // audio is never a frame
  h.engine->didOutputSampleBuffer(*h.capture.lastStream(), fake::screenSample(pixels, 0, 1),
                                  static_cast<StreamOutputType>(7));
  EXPECT_TRUE(h.encoder->frames().empty());
}

TEST(IntakeWithTheEncoder, KeyframeRequestOnAStillScreenReachesTheSessionAtTheNextTick) {
  EngineHarness h;
  fake::FakeCompressionSessionFactory sessions;
  int sink[2];
  ASSERT_EQ(::pipe2(sink, O_NONBLOCK | O_CLOEXEC), 0);
  AnnexBWriter writer(sink[1]);
  H264EncoderDeps deps;
  deps.makeSession = sessions.factory();
  deps.clock = &h.clock;
  deps.log = [](std::string_view) {};
  std::shared_ptr<VideoEncoderPort> encoder;
  auto factory = h264EncoderFactory(writer, deps);
  h.encoderFactory = [&](const EncoderParams& p) { return encoder = factory(p); };
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.start();
  ASSERT_TRUE(h.started());
  ASSERT_TRUE(encoder);

  h.deliverFrame();
  h.run(1s);
  ASSERT_EQ(sessions.frames().size(), 2u);  // the frame and its confirm
  encoder->requestKeyframe();
  h.run(50ms);
  const auto frames = sessions.frames();
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_TRUE(frames[2].options.has_value());
  EXPECT_TRUE(frames[2].options->forceKeyframe);
  EXPECT_FALSE(encoder->recoveryPending());

  h.engine.reset();
  ::close(sink[0]);
  ::close(sink[1]);
}

}  // namespace
}  // namespace qx::test
