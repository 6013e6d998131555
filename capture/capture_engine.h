#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/audio_port.h"
#include "capture/control_channel.h"
#include "capture/display_power.h"
#include "capture/displays.h"
#include "capture/encoder_port.h"
#include "capture/options.h"
#include "common/log.h"
#include "platform/capture_service.h"
#include "platform/dispatch.h"
#include "platform/display_power.h"
#include "platform/display_service.h"

namespace qx {

// Errors of the engine's own, in the helper's error domain.
inline constexpr std::string_view kEngineErrorDomain = "quorvex-screencap";
PlatformError noDisplayFoundError();     // code 1
PlatformError encoderInitFailedError();  // code 2

// The encoded size for a display of `pixel` size: scaled down to `maxWidth`
// (when 1 or more and smaller) keeping the aspect ratio, the height rounded
// to nearest with halves away from zero, then both made even (rounded down).
PixelSize captureSize(PixelSize pixel, std::int64_t maxWidth);

// The session description printed after "capturing ".
std::string sessionLogLine(PixelSize size, const Options& options, PixelSize pixel, const ShareableDisplay& display);

// One capture session of one display for the life of the process: keeps the
// display awake, picks and sizes it, creates the encoder, the control channel
// and the idle timer, runs the capture stream and re-establishes it when the
// platform stops it (a bounded number of quick retries), and watches whether
// the display sleeps.
//
// Threads: `start` runs on the caller's thread (it may block for seconds while
// the display wakes or the display list fills); frames and idle ticks run on
// the sample queue, audio on the audio sample queue, stream bookkeeping,
// restarts and the display watch on the retry queue, so the stop handler and
// the end of a stream start never touch the stream state at the same time.
class CaptureEngine final : public StreamOutput,
                            public StreamDelegate,
                            public std::enable_shared_from_this<CaptureEngine> {
 public:
  // Everything the engine uses. The references must outlive the engine.
  struct Deps {
    CaptureService& capture;
    DisplayService& displays;
    DisplayPowerService& power;
    Clock& clock;
    QueueFactory& queues;
    EncoderFactory makeEncoder;
    AudioSinkFactory makeAudioSink;
    int controlFD = 0;   // the control channel's input (standard input)
    ExitFn exitProcess;  // ends the process; must not return in production
    LogFn log;           // one diagnostic line per call
  };

  // Creates the engine with its three queues. Touches no platform service.
  [[nodiscard]] static std::shared_ptr<CaptureEngine> create(Deps deps);
  ~CaptureEngine() override;
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // Called exactly once with the error that ends the start, or with nothing
  // once the stream runs. Failures before the stream start are reported on
  // the calling thread; the stream start's outcome on the retry queue or the
  // capture service's thread. Call once.
  using StartCompletion = std::function<void(std::optional<PlatformError> error)>;
  void start(const Options& options, StartCompletion done);

  void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample, StreamOutputType type) override;
  void didStopWithError(CaptureStream& stream, const PlatformError& error) override;

 private:
  explicit CaptureEngine(Deps deps);

  void startStreamOnce(std::function<void(std::optional<PlatformError>)> done);
  void handleStop(const PlatformError& error);
  void restart();
  void submit(const PixelBufferRef& pixelBuffer, const MediaTime& pts, bool real);
  void startIdleTimer();
  void idleTick();
  void startDisplayWatch();
  void displayWatchTick();

  Deps deps_;
  DisplayPower power_;

  std::unique_ptr<SerialQueue> sampleQueue_;
  std::unique_ptr<SerialQueue> audioSampleQueue_;
  std::unique_ptr<SerialQueue> retryQueue_;

  // Set by start before the control channel, the timers or a stream exist;
  // read-only afterwards.
  std::shared_ptr<VideoEncoderPort> encoder_;
  std::shared_ptr<AudioSink> audioSink_;
  std::optional<ContentFilter> filter_;
  std::optional<StreamConfiguration> config_;
  std::string logLine_;
  std::uint32_t displayID_ = 0;
  std::unique_ptr<ControlChannel> controlChannel_;
  std::shared_ptr<TimerHandle> idleTimer_;

  // Retry queue only.
  std::shared_ptr<CaptureStream> stream_;
  std::int64_t retriesLeft_ = 8;
  std::chrono::nanoseconds lastStartAt_;
  bool displayWasAsleep_ = false;
  std::shared_ptr<TimerHandle> displayTimer_;

  // Sample queue only.
  PixelBufferRef lastPixelBuffer_;
  std::int64_t lastSubmitNanos_ = 0;  // host clock
  MediaTime lastPTS_ = MediaTime::invalid();
  bool needsConfirm_ = false;
};

}  // namespace qx
