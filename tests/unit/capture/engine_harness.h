#pragma once

// A capture engine wired to fakes: manual queues and clock, scripted capture
// service, display service and display power, an encoder that records what it
// is given, and a pipe standing in for standard input.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture_engine.h"
#include "tests/fakes/fake_capture_service.h"
#include "tests/fakes/fake_display_power.h"
#include "tests/fakes/fake_display_service.h"
#include "tests/fakes/manual_dispatch.h"

namespace qx::test {

// The audio path of a build without one: every start fails with a text
// saying so.
inline AudioSinkFactory unavailableAudioSinkFactory() {
  return [](int) -> std::variant<std::shared_ptr<AudioSink>, PlatformError> {
    return PlatformError{"quorvex-screencap", 4, "audio capture is not available in this build"};
  };
}

// Records frames; a keyframe/refresh request stays pending until the next
// encode consumes it, as the real encoder's does.
class RecordingEncoder final : public VideoEncoderPort {
 public:
  struct Frame {
    PixelBufferRef pixels;
    MediaTime pts;
    std::int64_t submittedAtNanos;
  };
  explicit RecordingEncoder(const Clock& clock) : clock_(clock) {}

  void encode(const PixelBufferRef& pixelBuffer, const MediaTime& pts) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({pixelBuffer, pts, clock_.hostNanos()});
    pending_ = false;
  }
  bool recoveryPending() override {
    std::lock_guard lock(mutex_);
    return pending_;
  }
  void requestKeyframe() override {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  void requestRefresh() override { requestKeyframe(); }
  void acknowledge(std::int64_t) override {}
  void setBitrate(std::int64_t) override {}

  std::vector<Frame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  const Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
  bool pending_ = false;
};

class RecordingAudioSink final : public AudioSink {
 public:
  void ingest(const SampleBuffer&) override { ++count; }
  int count = 0;
};

// Collects diagnostic lines and exit statuses from any thread.
class Recorder {
 public:
  LogFn log() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
      changed_.notify_all();
    };
  }
  ExitFn exit() {
    return [this](int status) {
      std::lock_guard lock(mutex_);
      exits_.push_back(status);
      changed_.notify_all();
    };
  }
  // For tests on real threads: waits, at most `timeout`, until some line
  // contains `text` `count` times.
  bool waitForLine(std::string_view text, int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      int n = 0;
      for (const auto& l : lines_) n += l.find(text) != std::string::npos;
      return n >= count;
    });
  }
  bool waitForExit(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !exits_.empty(); });
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<int> exits() const {
    std::lock_guard lock(mutex_);
    return exits_;
  }
  void clearLines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<int> exits_;
};

inline constexpr DisplayID kMainDisplay = 7;

struct EngineHarness {
  fake::ManualDispatch dispatch;
  fake::ManualClock& clock = dispatch.clock();
  fake::FakeCaptureService capture{clock};
  FakeDisplayService displays;
  fake::FakeDisplayPower power{clock};
  Recorder recorder;
  std::shared_ptr<RecordingEncoder> encoder = std::make_shared<RecordingEncoder>(clock);
  std::shared_ptr<RecordingAudioSink> audio = std::make_shared<RecordingAudioSink>();
  bool encoderFails = false;
  // When set, makes the encoder instead of handing out `encoder`.
  EncoderFactory encoderFactory;
  bool audioAvailable = true;
  std::optional<EncoderParams> encoderParams;
  int stdinPipe[2] = {-1, -1};
  std::shared_ptr<CaptureEngine> engine;
  std::optional<std::optional<PlatformError>> startResult;

  EngineHarness() {
    if (pipe2(stdinPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    displays.addDisplay(kMainDisplay, 1920, 1080, DisplayModeSize{1920, 1080});
    displays.setMainDisplay(kMainDisplay);
  }
  ~EngineHarness() {
    engine.reset();
    closeStdin();
    ::close(stdinPipe[0]);
  }

  void closeStdin() {
    if (stdinPipe[1] >= 0) ::close(stdinPipe[1]);
    stdinPipe[1] = -1;
  }

  std::shared_ptr<CaptureEngine> make() {
    engine = CaptureEngine::create(
        CaptureEngine::Deps{capture, displays, power, clock, dispatch,
                            [this](const EncoderParams& p) -> std::shared_ptr<VideoEncoderPort> {
                              encoderParams = p;
                              if (encoderFails) return nullptr;
                              if (encoderFactory) return encoderFactory(p);
                              return encoder;
                            },
                            [this](int) -> std::variant<std::shared_ptr<AudioSink>, PlatformError> {
                              if (!audioAvailable) return PlatformError{"audio", 5, "no audio device"};
                              return audio;
                            },
                            stdinPipe[0], recorder.exit(), recorder.log()});
    return engine;
  }

  // Starts and, when the stream start is reached, completes it.
  void start(Options options = {}) {
    if (!engine) make();
    engine->start(options, [this](std::optional<PlatformError> e) { startResult = std::move(e); });
    capture.completeStarts();
    dispatch.runDue();
  }

  // Advances time in steps of `step`, completing stream starts on the way.
  void run(std::chrono::nanoseconds total, std::chrono::nanoseconds step = std::chrono::milliseconds(10)) {
    for (std::chrono::nanoseconds done{0}; done < total; done += step) {
      dispatch.advance(step);
      if (capture.completeStarts() > 0) dispatch.runDue();
    }
  }

  bool started() const { return startResult.has_value() && !startResult->has_value(); }

  // A complete frame stamped now, through the current stream's screen output.
  PixelBufferRef deliverFrame(std::int64_t status = 0, std::optional<std::int64_t> ptsNanos = std::nullopt) {
    auto pixels = std::make_shared<PixelBuffer>(16, 16);
    capture.lastStream()->deliver(fake::screenSample(pixels, status, ptsNanos.value_or(clock.hostNanos())),
                                  StreamOutputType::screen);
    dispatch.runDue();
    return pixels;
  }
};

}  // namespace qx::test
