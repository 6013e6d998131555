// The engine on real queue threads, so the sanitizers see its actual
// concurrency: stream starts completing while stops arrive, frames and idle
// ticks on the sample queue, control lines on the reader thread.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/linux/asio/asio_dispatch.h"
#include "tests/unit/capture/engine_harness.h"

namespace qx::test {
namespace {

using namespace std::chrono_literals;

TEST(EngineThreads, StopsRacingStreamStartsFramesAndControlLines) {
  AsioQueueFactory queues;
  SystemClock clock;
  fake::FakeCaptureService capture(clock);
  FakeDisplayService displays;
  displays.addDisplay(kMainDisplay, 640, 480, DisplayModeSize{640, 480});
  displays.setMainDisplay(kMainDisplay);
  capture.setDisplays({{kMainDisplay, 640, 480}});
  fake::FakeDisplayPower power(clock);
  Recorder recorder;
  auto encoder = std::make_shared<RecordingEncoder>(clock);
  int stdinPipe[2];
  ASSERT_EQ(pipe2(stdinPipe, O_CLOEXEC), 0);

  auto engine = CaptureEngine::create(
      CaptureEngine::Deps{capture, displays, power, clock, queues, [&](const EncoderParams&) { return encoder; },
                          unavailableAudioSinkFactory(), stdinPipe[0], recorder.exit(), recorder.log()});
  std::atomic<bool> started{false};
  engine->start(Options{}, [&](std::optional<PlatformError> error) { started = !error; });

  const PlatformError stop{"stream", 1, "stopped"};
  for (int round = 1; round <= 3; ++round) {
    std::shared_ptr<fake::FakeCaptureService::Stream> stream;
    // The restart of the previous round creates the stream 0.4 s after its stop.
    for (int i = 0; i < 500 && (capture.streamCount() < static_cast<std::size_t>(round) || !stream); ++i) {
      stream = capture.stream(static_cast<std::size_t>(round - 1));
      if (!stream) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(stream) << "round " << round;

    std::thread completer([&] { capture.completeStarts(); });
    std::thread stopper([&] { stream->stop(stop); });
    std::thread frames([&] {
      auto pixels = std::make_shared<PixelBuffer>(16, 16);
      for (int i = 0; i < 20; ++i)
        stream->deliver(fake::screenSample(pixels, 0, clock.hostNanos()), StreamOutputType::screen);
    });
    const std::string lines = "idr\nbitrate 3000000\nltr-refresh\n";
    ASSERT_EQ(::write(stdinPipe[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    completer.join();
    stopper.join();
    frames.join();
    ASSERT_TRUE(recorder.waitForLine("re-establishing (" + std::to_string(8 - round) + " left)", 1, 5s)) << round;
  }
  EXPECT_TRUE(started.load());
  ASSERT_TRUE(recorder.waitForLine("capturing ", 3, 5s));

  // Presentation times stayed strictly increasing across every thread.
  const auto submitted = encoder->frames();
  ASSERT_FALSE(submitted.empty());
  for (std::size_t i = 1; i < submitted.size(); ++i) EXPECT_LT(compare(submitted[i - 1].pts, submitted[i].pts), 0) << i;

  ::close(stdinPipe[1]);
  EXPECT_TRUE(recorder.waitForExit(5s));
  EXPECT_EQ(recorder.exits(), std::vector<int>{0});
  engine.reset();
  ::close(stdinPipe[0]);
}

}  // namespace
}  // namespace qx::test
