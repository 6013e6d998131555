#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture/capture_engine.h"
#include "tests/unit/capture/engine_harness.h"

namespace qx::test {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const PlatformError kStopped{"stream", -3805, "display configuration changed"};

TEST(CaptureSize, ScalesDownToTheWidthLimitAndMakesBothEven) {
  struct Case {
    PixelSize pixel;
    std::int64_t maxWidth;
    PixelSize expected;
  };
  const Case cases[] = {
      {{3840, 2160}, 1920, {1920, 1080}}, {{1366, 768}, 1280, {1280, 720}},
      {{3024, 1964}, 1920, {1920, 1246}},  // 1246.98... rounds to 1247, then even
      {{1000, 1003}, 500, {500, 502}},     // 501.5: halves go away from zero
      {{1367, 769}, 0, {1366, 768}},       // no limit: native, made even
      {{1920, 1080}, 1920, {1920, 1080}},  // equal: untouched
      {{1280, 720}, 1920, {1280, 720}},    // never upscaled
  };
  for (const auto& c : cases) {
    EXPECT_EQ(captureSize(c.pixel, c.maxWidth), c.expected)
        << c.pixel.width << "x" << c.pixel.height << " max " << c.maxWidth;
  }
}

TEST(SessionLogLine, PrintsTheEncodedSizeOptionsAndUnscaledDisplay) {
  Options options;
  EXPECT_EQ(sessionLogLine({1920, 1080}, options, {3840, 2160}, ShareableDisplay{1, 1920, 1080}),
            "1920x1080@30 bitrate 8000000 rc vbr (display 3840x2160 px, 1920x1080 pt)");
}

TEST(EngineStart, WaitsForTheDisplayListToFill) {
  EngineHarness h;
  const std::int64_t t0 = h.clock.hostNanos();
  h.capture.setDisplaysFrom(t0 + 1'000'000'000, {{kMainDisplay, 1920, 1080}});
  h.start();
  ASSERT_TRUE(h.started());
  // One fetch, then one every 200 ms until the list at 1 s is seen.
  EXPECT_EQ(h.capture.contentFetches(), 6);
  EXPECT_EQ(h.clock.hostNanos() - t0, 1'000'000'000);
  EXPECT_THAT(h.recorder.lines(),
              ElementsAre("capturing 1920x1080@30 bitrate 8000000 rc vbr (display 1920x1080 px, 1920x1080 pt)"));
}

TEST(EngineStart, GivesUpWithNoDisplayFoundAfterAboutThreeSeconds) {
  EngineHarness h;
  const std::int64_t t0 = h.clock.hostNanos();
  h.start();
  ASSERT_TRUE(h.startResult.has_value());
  ASSERT_TRUE(h.startResult->has_value());
  EXPECT_EQ((*h.startResult)->description, "no display found");
  EXPECT_EQ((*h.startResult)->code, 1);
  EXPECT_EQ((*h.startResult)->domain, "quorvex-screencap");
  EXPECT_EQ(h.capture.contentFetches(), 16);
  EXPECT_EQ(h.clock.hostNanos() - t0, 3'000'000'000);
  EXPECT_EQ(h.capture.streamCount(), 0u);
}

TEST(EngineStart, FetchFailureEndsTheStartWithThePlatformError) {
  EngineHarness h;
  h.capture.setContentError(PlatformError{"capture", -3801, "user declined"});
  h.start();
  ASSERT_TRUE(h.startResult && *h.startResult);
  EXPECT_EQ((*h.startResult)->description, "user declined");
  EXPECT_EQ(h.capture.contentFetches(), 1);
}

TEST(EngineStart, ConfiguresTheStreamForTheChosenDisplay) {
  EngineHarness h;
  h.displays.addDisplay(9, 3840, 2160, DisplayModeSize{3840, 2160});
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}, {9, 3840, 2160}});
  Options options;
  options.display = 1;
  options.fps = 60;
  options.bitrate = 6'000'000;
  options.rc = "cbr";
  options.peakMax = 9'000'000;
  options.lowLatency = false;
  options.ltr = false;
  h.start(options);
  ASSERT_TRUE(h.started());

  auto stream = h.capture.lastStream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->filter().display.displayID, 9u);
  const StreamConfiguration& c = stream->config();
  EXPECT_EQ(c.width, 1920);
  EXPECT_EQ(c.height, 1080);
  EXPECT_EQ(c.minimumFrameInterval, MediaTime::make(1, 60));
  EXPECT_FALSE(c.showsCursor);
  EXPECT_EQ(c.pixelFormat, 875704438u);
  EXPECT_EQ(c.colorMatrix, ColorMatrix::itu709);
  EXPECT_EQ(c.queueDepth, 5);
  EXPECT_FALSE(c.capturesAudio);
  EXPECT_THAT(stream->outputTypes(), ElementsAre(StreamOutputType::screen));

  ASSERT_TRUE(h.encoderParams);
  EXPECT_EQ(h.encoderParams->width, 1920);
  EXPECT_EQ(h.encoderParams->height, 1080);
  EXPECT_EQ(h.encoderParams->fps, 60);
  EXPECT_EQ(h.encoderParams->bitrate, 6'000'000);
  EXPECT_EQ(h.encoderParams->rc, "cbr");
  EXPECT_EQ(h.encoderParams->peakMax, 9'000'000);
  EXPECT_FALSE(h.encoderParams->lowLatency);
  EXPECT_FALSE(h.encoderParams->ltr);
  EXPECT_THAT(h.recorder.lines(),
              ElementsAre("capturing 1920x1080@60 bitrate 6000000 rc cbr (display 3840x2160 px, 3840x2160 pt)"));
}

TEST(EngineStart, EncoderFailureIsReportedAsEncoderInitFailed) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.encoderFails = true;
  h.start();
  ASSERT_TRUE(h.startResult && *h.startResult);
  EXPECT_EQ((*h.startResult)->description, "encoder init failed");
  EXPECT_EQ((*h.startResult)->code, 2);
  EXPECT_EQ(h.capture.streamCount(), 0u);
}

TEST(EngineStart, AudioAddsTheAudioOutputAndFeedsTheSink) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  Options options;
  options.audioFD = 0;
  h.start(options);
  ASSERT_TRUE(h.started());
  auto stream = h.capture.lastStream();
  EXPECT_TRUE(stream->config().capturesAudio);
  EXPECT_EQ(stream->config().sampleRate, 48000);
  EXPECT_EQ(stream->config().channelCount, 2);
  EXPECT_TRUE(stream->config().excludesCurrentProcessAudio);
  EXPECT_THAT(stream->outputTypes(), ElementsAre(StreamOutputType::screen, StreamOutputType::audio));
  stream->deliver(SampleBuffer{}, StreamOutputType::audio);
  h.dispatch.runDue();
  EXPECT_EQ(h.audio->count, 1);
  EXPECT_TRUE(h.encoder->frames().empty());
}

TEST(EngineStart, AudioThatCannotStartFailsTheStart) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.audioAvailable = false;
  Options options;
  options.audioFD = 3;
  h.start(options);
  ASSERT_TRUE(h.startResult && *h.startResult);
  EXPECT_EQ((*h.startResult)->description, "no audio device");
  EXPECT_EQ(h.capture.streamCount(), 0u);
}

TEST(EngineStart, BuildWithoutAudioSaysSo) {
  auto factory = unavailableAudioSinkFactory();
  auto result = factory(3);
  ASSERT_TRUE(std::holds_alternative<PlatformError>(result));
  EXPECT_THAT(std::get<PlatformError>(result).description, HasSubstr("audio"));
}

TEST(EngineStart, StreamStartFailureEndsTheStart) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.capture.queueStartOutcome(PlatformError{"capture", -3802, "stream could not start"});
  h.start();
  ASSERT_TRUE(h.startResult && *h.startResult);
  EXPECT_EQ((*h.startResult)->description, "stream could not start");
  EXPECT_TRUE(h.recorder.lines().empty());
}

TEST(EngineStart, OutputFailureEndsTheStart) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.capture.setAddOutputError(PlatformError{"capture", -3803, "no output"});
  h.start();
  ASSERT_TRUE(h.startResult && *h.startResult);
  EXPECT_EQ((*h.startResult)->description, "no output");
}

TEST(EngineStart, WakesASleepingMainDisplayFirst) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.power.sleepFor(kMainDisplay, 400ms);
  h.start();
  ASSERT_TRUE(h.started());
  EXPECT_THAT(h.recorder.lines()[0], "display asleep (session start); woke it in 400 ms");
  EXPECT_THAT(h.power.assertionNames(), ElementsAre("Quorvex remote session"));
}

class EngineRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
    h.start();
    ASSERT_TRUE(h.started());
    h.recorder.clearLines();
  }

  // The platform stops the current stream; the restart runs 0.4 s later.
  void stopAndRestart(std::chrono::nanoseconds settle = 500ms) {
    h.capture.lastStream()->stop(kStopped);
    h.run(settle);
  }

  EngineHarness h;
};

TEST_F(EngineRestart, NineQuickStopsCountDownThenGiveUp) {
  for (int i = 0; i < 9; ++i) stopAndRestart(1s);
  std::vector<std::string> expected;
  for (int left = 7; left >= 0; --left) {
    expected.push_back("stream stopped: display configuration changed \u2014 re-establishing (" + std::to_string(left) +
                       " left)");
    expected.push_back("capturing 1920x1080@30 bitrate 8000000 rc vbr (display 1920x1080 px, 1920x1080 pt)");
  }
  expected.push_back("stream stopped: display configuration changed \u2014 giving up");
  EXPECT_EQ(h.recorder.lines(), expected);
  EXPECT_THAT(h.recorder.exits(), ElementsAre(1));
  EXPECT_EQ(h.capture.streamCount(), 9u);  // the first plus eight restarts
}

TEST_F(EngineRestart, RestartComesFourHundredMillisecondsAfterTheStop) {
  h.capture.lastStream()->stop(kStopped);
  h.dispatch.advance(399ms);
  EXPECT_EQ(h.capture.streamCount(), 1u);
  h.dispatch.advance(1ms);
  EXPECT_EQ(h.capture.streamCount(), 2u);
  // The new stream keeps the filter and size chosen at start.
  EXPECT_EQ(h.capture.lastStream()->filter().display.displayID, kMainDisplay);
  EXPECT_EQ(h.capture.lastStream()->config().width, 1920);
}

TEST_F(EngineRestart, AStopLongAfterTheLastStartEarnsAFreshBudget) {
  stopAndRestart();
  stopAndRestart();
  h.run(10500ms, 100ms);
  stopAndRestart();
  const auto lines = h.recorder.lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_THAT(lines[2], HasSubstr("(6 left)"));
  EXPECT_THAT(lines[4], HasSubstr("(7 left)"));
}

TEST_F(EngineRestart, FailedRestartIsFinal) {
  h.capture.queueStartOutcome(PlatformError{"capture", -3815, "display 7 is gone"});
  stopAndRestart();
  EXPECT_EQ(h.recorder.lines().back(), "re-establish failed: display 7 is gone");
  EXPECT_THAT(h.recorder.exits(), ElementsAre(1));
  h.run(3s);
  EXPECT_EQ(h.capture.streamCount(), 2u);
}

TEST_F(EngineRestart, WithdrawnCaptureAccessEndsWithThePermissionStatusInsteadOfRestarting) {
  // Stopped while running (the user stopped sharing), and refused when re-established.
  h.capture.lastStream()->stop(PlatformError{kCaptureAccessErrorDomain, 1, "the desktop ended the screen cast"});
  h.run(3s);
  EXPECT_THAT(h.recorder.lines(), Contains(HasSubstr("Screen Recording permission missing")));
  EXPECT_THAT(h.recorder.exits(), ElementsAre(2));
  EXPECT_EQ(h.capture.streamCount(), 1u);
}

TEST_F(EngineRestart, ARestartRefusedForAccessEndsWithThePermissionStatus) {
  h.capture.queueStartOutcome(PlatformError{kCaptureAccessErrorDomain, 1, "the desktop did not answer in time"});
  stopAndRestart();
  EXPECT_THAT(h.recorder.lines(), Contains(HasSubstr("Screen Recording permission missing")));
  EXPECT_THAT(h.recorder.exits(), ElementsAre(2));
}

TEST_F(EngineRestart, RestartWaitsForASleepingDisplay) {
  h.power.sleepFor(kMainDisplay, -1ns);
  stopAndRestart();
  const auto lines = h.recorder.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "display asleep (stream stopped); still off after 3000 ms");
  // The new stream starts anyway.
  EXPECT_THAT(lines, ::testing::Contains(HasSubstr("capturing ")));
  EXPECT_EQ(h.capture.streamCount(), 2u);
}

TEST_F(EngineRestart, StopRacingTheEndOfAStartIsHandledInOrder) {
  // The restarted stream reports success and is stopped again before the
  // engine has recorded it: both land on the retry queue in arrival order.
  h.capture.lastStream()->stop(kStopped);
  h.dispatch.advance(400ms);
  ASSERT_EQ(h.capture.streamCount(), 2u);
  h.capture.completeStarts();
  h.capture.lastStream()->stop(kStopped);
  h.dispatch.runDue();
  const auto lines = h.recorder.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_THAT(lines[1], HasSubstr("capturing "));
  EXPECT_THAT(lines[2], HasSubstr("(6 left)"));
  h.run(500ms);
  EXPECT_EQ(h.capture.streamCount(), 3u);
  EXPECT_TRUE(h.capture.lastStream()->started());
}

TEST_F(EngineRestart, EncoderAndTimersSurviveARestart) {
  h.deliverFrame();
  stopAndRestart();
  ASSERT_EQ(h.capture.streamCount(), 2u);
  h.deliverFrame();
  // Frame, its confirm re-submission, the frame after the restart: one encoder.
  ASSERT_EQ(h.encoder->frames().size(), 3u);
  // The idle timer still runs: the new frame gets its confirm re-submission.
  h.run(400ms);
  EXPECT_EQ(h.encoder->frames().size(), 4u);
}

TEST(DisplayWatch, ReportsEachTransitionOnceAndKeepsAskingWhileAsleep) {
  EngineHarness h;
  h.capture.setDisplays({{kMainDisplay, 1920, 1080}});
  h.start();
  ASSERT_TRUE(h.started());
  h.recorder.clearLines();
  h.run(2s);
  EXPECT_TRUE(h.recorder.lines().empty());

  h.power.sleepFor(kMainDisplay, 3500ms);
  const int activityBefore = h.power.activityCount();
  h.run(5s, 100ms);
  EXPECT_THAT(h.recorder.lines(),
              ElementsAre("display went to sleep during the session; waking it", "display on again"));
  // A request at every tick that saw it asleep: three or four of them.
  EXPECT_GE(h.power.activityCount() - activityBefore, 3);
  EXPECT_LE(h.power.activityCount() - activityBefore, 4);
}

}  // namespace
}  // namespace qx::test
