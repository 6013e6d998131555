#include "capture/capture_engine.h"

#include <cmath>
#include <utility>
#include <vector>

#include "capture/frame_intake.h"
#include "capture/permission.h"
#include "common/numbers.h"

namespace qx {

namespace {

using namespace std::chrono_literals;

constexpr int kDisplayWaitRounds = 15;
constexpr auto kDisplayWaitStep = 200ms;
constexpr double kWakeTimeoutSeconds = 3.0;
constexpr std::int64_t kRetryBudget = 8;
// A stream that ran longer than this earns a fresh retry budget.
constexpr auto kStableRun = 10s;
constexpr auto kRestartDelay = 400ms;
constexpr auto kDisplayWatchPeriod = 1s;
constexpr int kQueueDepth = 5;
// U+2014 with a space on each side.
constexpr std::string_view kDash = " \u2014 ";

PlatformError engineError(std::int64_t code, std::string description) {
  return {std::string(kEngineErrorDomain), code, std::move(description)};
}

}  // namespace

PlatformError noDisplayFoundError() { return engineError(1, "no display found"); }
PlatformError encoderInitFailedError() { return engineError(2, "encoder init failed"); }

PixelSize captureSize(PixelSize pixel, std::int64_t maxWidth) {
  PixelSize size = pixel;
  if (maxWidth >= 1 && maxWidth < pixel.width) {
    const double scaled =
        static_cast<double>(maxWidth) / static_cast<double>(pixel.width) * static_cast<double>(pixel.height);
    size = {maxWidth, saturatingTruncate(std::round(scaled))};  // std::round: halves away from zero
  }
  size.width &= ~std::int64_t{1};
  size.height &= ~std::int64_t{1};
  return size;
}

std::string sessionLogLine(PixelSize size, const Options& options, PixelSize pixel, const ShareableDisplay& display) {
  using std::to_string;
  return to_string(size.width) + "x" + to_string(size.height) + "@" + to_string(options.fps) + " bitrate " +
         to_string(options.bitrate) + " rc " + options.rc + " (display " + to_string(pixel.width) + "x" +
         to_string(pixel.height) + " px, " + to_string(display.width) + "x" + to_string(display.height) + " pt)";
}

std::shared_ptr<CaptureEngine> CaptureEngine::create(Deps deps) {
  return std::shared_ptr<CaptureEngine>(new CaptureEngine(std::move(deps)));
}

CaptureEngine::CaptureEngine(Deps deps)
    : deps_(std::move(deps)),
      power_(deps_.power, deps_.clock, deps_.log),
      sampleQueue_(deps_.queues.makeSerialQueue("com.quorvex.screencap.sample", "qv-sample")),
      audioSampleQueue_(deps_.queues.makeSerialQueue("com.quorvex.screencap.audiosample", "qv-audiosample")),
      retryQueue_(deps_.queues.makeSerialQueue("com.quorvex.screencap.retry", "qv-retry")),
      lastStartAt_(deps_.clock.monotonicNow()) {}

CaptureEngine::~CaptureEngine() = default;

void CaptureEngine::start(const Options& options, StartCompletion done) {
  power_.holdOn();
  power_.wake(deps_.displays.mainDisplayID(), "session start", kWakeTimeoutSeconds);

  // The display list can be empty for a while after login or a display change.
  auto fetched = deps_.capture.shareableContent();
  for (int round = 0; round < kDisplayWaitRounds; ++round) {
    if (auto* error = std::get_if<PlatformError>(&fetched)) return done(*error);
    if (!std::get<ShareableContent>(fetched).displays.empty()) break;
    deps_.clock.sleepFor(kDisplayWaitStep);
    fetched = deps_.capture.shareableContent();
  }
  if (auto* error = std::get_if<PlatformError>(&fetched)) return done(*error);
  const std::vector<ShareableDisplay>& offered = std::get<ShareableContent>(fetched).displays;
  if (offered.empty()) return done(noDisplayFoundError());

  const std::vector<DisplayID> ordered = orderedDisplayIDs(deps_.displays);
  const auto chosen = chooseCaptureDisplay(options.display, ordered, deps_.displays.mainDisplayID(), offered);
  if (!chosen) return done(noDisplayFoundError());
  displayID_ = chosen->displayID;

  const PixelSize pixel = displayPixelSize(deps_.displays, *chosen);
  const PixelSize size = captureSize(pixel, options.maxWidth);

  encoder_ = deps_.makeEncoder(EncoderParams{size.width, size.height, options.fps, options.bitrate, options.rc,
                                             options.peakMax, options.lowLatency, options.ltr});
  if (!encoder_) return done(encoderInitFailedError());
  controlChannel_ = std::make_unique<ControlChannel>(deps_.controlFD, encoder_, deps_.exitProcess);
  startIdleTimer();

  StreamConfiguration config;
  config.width = size.width;
  config.height = size.height;
  // fps beyond 32 bits cannot be a timescale; such rates mean "as fast as possible" anyway.
  config.minimumFrameInterval = MediaTime::make(1, clampToInt32(options.fps));
  config.showsCursor = false;
  config.pixelFormat = kPixelFormat420v;
  config.colorMatrix = ColorMatrix::itu709;
  config.queueDepth = kQueueDepth;

  if (options.audioFD >= 0) {
    config.capturesAudio = true;
    config.sampleRate = 48000;
    config.channelCount = 2;
    config.excludesCurrentProcessAudio = true;
    auto sink = deps_.makeAudioSink(options.audioFD);
    if (auto* error = std::get_if<PlatformError>(&sink)) return done(*error);
    audioSink_ = std::get<std::shared_ptr<AudioSink>>(std::move(sink));
  }

  filter_ = ContentFilter{*chosen};
  config_ = config;
  logLine_ = sessionLogLine(size, options, pixel, *chosen);

  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  startStreamOnce([weak, done = std::move(done)](std::optional<PlatformError> error) {
    if (error) return done(std::move(error));
    if (auto self = weak.lock()) self->startDisplayWatch();
    done(std::nullopt);
  });
}

void CaptureEngine::startStreamOnce(std::function<void(std::optional<PlatformError>)> done) {
  if (!filter_ || !config_) return done(std::nullopt);

  std::shared_ptr<CaptureStream> stream = deps_.capture.createStream(*filter_, *config_, weak_from_this());
  if (!stream) return done(engineError(3, "the capture stream could not be created"));

  SerialQueue* sampleQueue = sampleQueue_.get();
  if (auto error =
          stream->addStreamOutput(weak_from_this(), StreamOutputType::screen,
                                  [sampleQueue](std::function<void()> task) { sampleQueue->post(std::move(task)); }))
    return done(std::move(*error));
  if (audioSink_) {
    SerialQueue* audioQueue = audioSampleQueue_.get();
    if (auto error =
            stream->addStreamOutput(weak_from_this(), StreamOutputType::audio,
                                    [audioQueue](std::function<void()> task) { audioQueue->post(std::move(task)); }))
      return done(std::move(*error));
  }

  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  SerialQueue* retryQueue = retryQueue_.get();
  stream->startCapture([weak, retryQueue, stream, done = std::move(done)](std::optional<PlatformError> error) mutable {
    if (error) return done(std::move(error));
    // The stream state belongs to the retry queue, where stops are handled too.
    retryQueue->post([weak, stream = std::move(stream), done = std::move(done)] {
      auto self = weak.lock();
      if (!self) return;
      self->stream_ = stream;
      self->lastStartAt_ = self->deps_.clock.monotonicNow();
      self->deps_.log("capturing " + self->logLine_);
      done(std::nullopt);
    });
  });
}

void CaptureEngine::didStopWithError(CaptureStream&, const PlatformError& error) {
  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  retryQueue_->post([weak, error] {
    if (auto self = weak.lock()) self->handleStop(error);
  });
}

void CaptureEngine::handleStop(const PlatformError& error) {
  if (error.domain == kCaptureAccessErrorDomain) {
    deps_.log("stream stopped: " + error.description);
    deps_.log(std::string(kPermissionMissingMessage));
    deps_.exitProcess(2);
    return;
  }
  if (deps_.clock.monotonicNow() - lastStartAt_ > kStableRun) retriesLeft_ = kRetryBudget;
  if (retriesLeft_ <= 0) {
    deps_.log("stream stopped: " + error.description + std::string(kDash) + "giving up");
    deps_.exitProcess(1);
    return;
  }
  --retriesLeft_;
  deps_.log("stream stopped: " + error.description + std::string(kDash) + "re-establishing (" +
            std::to_string(retriesLeft_) + " left)");
  stream_.reset();
  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  retryQueue_->postAfter(kRestartDelay, [weak] {
    if (auto self = weak.lock()) self->restart();
  });
}

void CaptureEngine::restart() {
  power_.wake(displayID_, "stream stopped", kWakeTimeoutSeconds);
  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  startStreamOnce([weak](std::optional<PlatformError> error) {
    if (!error) return;
    auto self = weak.lock();
    if (!self) return;
    // Never retried: a display that is gone will not come back by itself.
    self->deps_.log("re-establish failed: " + error->description);
    if (error->domain == kCaptureAccessErrorDomain) {
      self->deps_.log(std::string(kPermissionMissingMessage));
      return self->deps_.exitProcess(2);
    }
    self->deps_.exitProcess(1);
  });
}

void CaptureEngine::didOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample, StreamOutputType type) {
  if (type == StreamOutputType::audio) {
    if (audioSink_) audioSink_->ingest(sample);
    return;
  }
  if (type != StreamOutputType::screen) return;
  if (!isCompleteScreenFrame(sample)) return;
  submit(sample.imageBuffer, sample.presentationTime, true);
}

void CaptureEngine::submit(const PixelBufferRef& pixelBuffer, const MediaTime& pts, bool real) {
  if (!encoder_) return;
  const MediaTime time = nextPresentationTime(lastPTS_, pts);
  // Read before encoding: encoding this frame consumes the request.
  const bool recoveryWasPending = encoder_->recoveryPending();
  encoder_->encode(pixelBuffer, time);
  lastPixelBuffer_ = pixelBuffer;
  lastPTS_ = time;
  lastSubmitNanos_ = deps_.clock.hostNanos();
  needsConfirm_ = real || recoveryWasPending;
}

void CaptureEngine::startIdleTimer() {
  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  idleTimer_ = sampleQueue_->startTimer(kIdleTickPeriod, kIdleTickPeriod, kIdleTickLeeway, [weak] {
    if (auto self = weak.lock()) self->idleTick();
  });
}

void CaptureEngine::idleTick() {
  if (!encoder_ || !lastPixelBuffer_) return;
  const std::int64_t now = deps_.clock.hostNanos();
  const std::chrono::nanoseconds idle(now - lastSubmitNanos_);
  if (!shouldResubmit(needsConfirm_, idle, encoder_->recoveryPending())) return;
  // Copy: submit replaces lastPixelBuffer_ while using it.
  const PixelBufferRef last = lastPixelBuffer_;
  submit(last, MediaTime::fromHostNanos(now), false);
}

void CaptureEngine::startDisplayWatch() {
  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  displayTimer_ = retryQueue_->startTimer(kDisplayWatchPeriod, kDisplayWatchPeriod, 0ns, [weak] {
    if (auto self = weak.lock()) self->displayWatchTick();
  });
}

void CaptureEngine::displayWatchTick() {
  const bool asleep = power_.isAsleep(displayID_);
  if (asleep) {
    // Every tick while it sleeps: one request may not be enough.
    power_.declareActivity();
    if (!displayWasAsleep_) deps_.log("display went to sleep during the session; waking it");
  } else if (displayWasAsleep_) {
    deps_.log("display on again");
  }
  displayWasAsleep_ = asleep;
}

}  // namespace qx
