#include "platform/linux/pulse/pulse_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tests/backend/audio/tone.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

// Collects what the recorder delivers on its own thread.
struct Collected {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::shared_ptr<const AudioBuffer>> buffers;
  std::size_t frames = 0;
  std::optional<PlatformError> failure;

  bool waitForFrames(std::size_t n, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return frames >= n; });
  }
  // Waits for a sample louder than silence in a buffer from `first` on.
  bool waitForSound(std::size_t first, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
      for (std::size_t i = first; i < buffers.size(); ++i) {
        const auto* p = reinterpret_cast<const std::int16_t*>(buffers[i]->planes[0].data());
        if (std::any_of(p, p + buffers[i]->frameCount * 2, [](std::int16_t v) { return std::abs(v) > 1000; }))
          return true;
      }
      return false;
    });
  }
  bool waitForFailure(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return failure.has_value(); });
  }
};

std::variant<std::unique_ptr<PulseRecorder>, PlatformError> startInto(Collected& c) {
  return PulseRecorder::start(
      [&c](std::shared_ptr<const AudioBuffer> b) {
        std::lock_guard lock(c.mutex);
        c.frames += static_cast<std::size_t>(b->frameCount);
        c.buffers.push_back(std::move(b));
        c.changed.notify_all();
      },
      [&c](const PlatformError& e) {
        std::lock_guard lock(c.mutex);
        c.failure = e;
        c.changed.notify_all();
      });
}

TEST(PulseRecorderTest, RecordsTheDefaultSinkMonitorInItsOwnFormat) {
  auto server = test::PulseServer::start();
  server->exportToThisProcess();

  Collected collected;
  auto started = startInto(collected);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<PulseRecorder>>(started))
      << std::get<PlatformError>(started).description;
  auto& recorder = std::get<std::unique_ptr<PulseRecorder>>(started);
  EXPECT_EQ(recorder->sourceName(), "qxnull.monitor");
  // The null sink's own format: 16-bit, 44.1 kHz, stereo, interleaved.
  EXPECT_EQ(recorder->format(), (AudioFormat{SampleFormat::s16, 44100, 2, true}));

  test::TempDir dir;
  const std::string wav = dir.file("tone.wav");
  test::writeFile(wav, test::wavS16(test::sineS16(1000, 44100, 3 * 44100), 44100, 2));
  test::Process::Options play;
  play.args = {test::findOnPath("paplay"), wav};
  play.setEnv = server->clientEnv();
  play.pipeStdin = false;
  test::Process player(std::move(play));

  ASSERT_TRUE(collected.waitForFrames(2 * 44100, 20s)) << "too little audio recorded";
  recorder.reset();  // joins the recorder's thread: nothing is delivered after this

  std::lock_guard lock(collected.mutex);
  std::vector<std::int16_t> pcm;
  std::int64_t lastTime = 0;
  for (const auto& b : collected.buffers) {
    ASSERT_EQ(b->format, (AudioFormat{SampleFormat::s16, 44100, 2, true}));
    ASSERT_EQ(b->planes.size(), 1u);
    ASSERT_EQ(b->planes[0].size(), static_cast<std::size_t>(b->frameCount) * 4);
    EXPECT_GE(b->presentationTime.value, lastTime);
    lastTime = b->presentationTime.value;
    const auto* s = reinterpret_cast<const std::int16_t*>(b->planes[0].data());
    pcm.insert(pcm.end(), s, s + b->frameCount * 2);
  }
  // The monitor hears silence before the player starts: measure where the tone is.
  std::size_t start = 0;
  while (start < pcm.size() && std::abs(pcm[start]) < 1000) ++start;
  ASSERT_LT(start + 44100, pcm.size()) << "no tone in the recording";
  auto window = std::span<const std::int16_t>(pcm).subspan(start, 44100);
  EXPECT_NEAR(test::toneFrequency(window, 2, 44100), 1000.0, 10.0);
  EXPECT_FALSE(collected.failure.has_value());
}

TEST(PulseRecorderTest, FollowsTheDefaultOutputWhenItChanges) {
  auto server = test::PulseServer::start();
  server->exportToThisProcess();
  Collected collected;
  auto started = startInto(collected);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<PulseRecorder>>(started));
  ASSERT_EQ(server->runClient({"pactl", "load-module", "module-null-sink", "sink_name=qxother"}).status, 0);
  ASSERT_EQ(server->runClient({"pactl", "set-default-sink", "qxother"}).status, 0);
  std::size_t first = 0;
  {
    std::lock_guard lock(collected.mutex);
    first = collected.buffers.size();
  }
  test::TempDir dir;
  test::writeFile(dir.file("tone.wav"), test::wavS16(test::sineS16(1000, 44100, 3 * 44100), 44100, 2));
  test::Process::Options play;
  play.args = {test::findOnPath("paplay"), "--device=qxother", dir.file("tone.wav")};
  play.setEnv = server->clientEnv();
  play.pipeStdin = false;
  test::Process player(std::move(play));
  EXPECT_TRUE(collected.waitForSound(first, 10s)) << "the tone played on the new default output is not heard";
  EXPECT_FALSE(collected.failure.has_value());
}

TEST(PulseRecorderTest, NoServerIsAClearFailure) {
  test::TempDir dir;
  ::setenv("PULSE_SERVER", ("unix:" + dir.file("nothing-here")).c_str(), 1);
  ::setenv("PULSE_RUNTIME_PATH", dir.path().c_str(), 1);
  Collected collected;
  auto started = startInto(collected);
  ASSERT_TRUE(std::holds_alternative<PlatformError>(started));
  const PlatformError& error = std::get<PlatformError>(started);
  EXPECT_EQ(error.domain, "PulseAudio");
  EXPECT_EQ(error.description.rfind("no sound server reachable: ", 0), 0u) << error.description;
}

TEST(PulseRecorderTest, ServerThatGoesAwayIsReportedOnce) {
  auto server = test::PulseServer::start();
  server->exportToThisProcess();
  Collected collected;
  auto started = startInto(collected);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<PulseRecorder>>(started));
  server.reset();
  ASSERT_TRUE(collected.waitForFailure(10s));
  EXPECT_EQ(collected.failure->domain, "PulseAudio");
  EXPECT_FALSE(collected.failure->description.empty());
}

}  // namespace
}  // namespace qx
