#include "audio/retrying_audio_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "tests/fakes/manual_dispatch.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Sound-server attempts that fail until told otherwise; keeps the callbacks of
// the running recording and counts the recordings alive.
struct FakeRecorder {
  struct Recording final : AudioRecording {
    explicit Recording(int& alive) : alive_(alive) { ++alive_; }
    ~Recording() override { --alive_; }
    int& alive_;
  };
  bool serverUp = false;
  int attempts = 0;
  int alive = 0;
  AudioBufferFn deliver;
  AudioFailureFn fail;

  AudioRecorderStart start() {
    return [this](AudioBufferFn onBuffer,
                  AudioFailureFn onFailure) -> std::variant<std::unique_ptr<AudioRecording>, PlatformError> {
      ++attempts;
      if (!serverUp) return PlatformError{"PulseAudio", 6, "no sound server reachable"};
      deliver = std::move(onBuffer);
      fail = std::move(onFailure);
      return std::make_unique<Recording>(alive);
    };
  }
};

struct RetryingAudioSourceTest : ::testing::Test {
  fake::ManualDispatch dispatch;
  FakeRecorder recorder;
  std::vector<std::string> lines;
  std::size_t delivered = 0;
  RetryingAudioSource source{recorder.start(), dispatch, [this](std::string_view l) { lines.emplace_back(l); }};
  std::unique_ptr<AudioRecording> start() {
    return source.start([this](std::shared_ptr<const AudioBuffer>) { ++delivered; });
  }
};

TEST_F(RetryingAudioSourceTest, AMissingServerIsTriedEveryTwoSecondsWithOneLineEachWay) {
  auto recording = start();
  EXPECT_EQ(recorder.attempts, 0) << "never on the caller's thread";
  dispatch.advance(5s);
  EXPECT_EQ(recorder.attempts, 3);
  recorder.serverUp = true;
  dispatch.advance(1s);
  EXPECT_EQ(recorder.attempts, 4);
  recorder.deliver(std::make_shared<AudioBuffer>());
  EXPECT_EQ(delivered, 1u);
  EXPECT_THAT(lines, ElementsAre("audio: no system audio: no sound server reachable; video goes on, trying again "
                                 "every 2 s",
                                 "audio: system audio is back"));
}

TEST_F(RetryingAudioSourceTest, ARecordingThatStopsIsReplacedAndNothingOutlivesTheHandle) {
  recorder.serverUp = true;
  auto recording = start();
  dispatch.runDue();
  recorder.serverUp = false;
  recorder.fail(PlatformError{"PulseAudio", 1, "connection to the sound server lost"});
  dispatch.runDue();
  EXPECT_EQ(recorder.alive, 0);
  EXPECT_THAT(lines, ElementsAre("audio: system audio stopped: connection to the sound server lost; video goes on, "
                                 "trying again every 2 s"));
  recorder.serverUp = true;
  dispatch.advance(2s);
  EXPECT_EQ(recorder.alive, 1);

  recording.reset();
  recorder.deliver(std::make_shared<AudioBuffer>());
  EXPECT_EQ(delivered, 0u);
  dispatch.advance(10s);
  EXPECT_EQ(recorder.alive, 0);
  EXPECT_EQ(recorder.attempts, 2);
}

}  // namespace
}  // namespace qx
