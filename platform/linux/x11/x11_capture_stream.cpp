#include "platform/linux/x11/x11_capture_stream.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>
#include <vector>

#include "common/fd.h"
#include "platform/linux/x11/configuration_check.h"
#include "platform/linux/x11/frame_pacer.h"
#include "platform/linux/x11/screen_grabber.h"
#include "platform/linux/x11/x11_capture_errors.h"

namespace qx::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// The first configuration value this backend cannot honour, as the reason the
// stream does not start.
std::optional<PlatformError> refusal(const StreamConfiguration& config, bool hasAudioSource) {
  if (auto reason = unsupportedConfiguration(config, hasAudioSource)) return captureError(kBadConfiguration, *reason);
  return std::nullopt;
}

// An eventfd the owner writes to when the capture thread should wake up.
class WakeFd {
 public:
  WakeFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  int fd() const { return fd_.get(); }
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_.get(), &one, sizeof one);
  }
  void drain() const {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_.get(), &value, sizeof value);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

// State shared between a stream object and its capture thread. The thread
// keeps it alive, so the stream may be destroyed on that very thread.
struct StreamShared {
  WakeFd wake;
  std::atomic<bool> cancelled{false};  // the owner asked the thread to end
  std::atomic<bool> stopped{false};    // no more deliveries
};

X11CaptureStream::X11CaptureStream(std::string displayName, ContentFilter filter, StreamConfiguration config,
                                   std::weak_ptr<StreamDelegate> delegate, AudioSource* audio)
    : displayName_(std::move(displayName)),
      filter_(filter),
      config_(config),
      delegate_(std::move(delegate)),
      audio_(audio),
      shared_(std::make_shared<StreamShared>()) {}

X11CaptureStream::~X11CaptureStream() {
  shared_->stopped = true;
  shared_->cancelled = true;
  shared_->wake.signal();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // released from one of our own callbacks
  } else {
    thread_.join();
  }
}

std::optional<PlatformError> X11CaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type, TaskRunner queue) {
  std::lock_guard lock(mutex_);
  if (started_) return captureError(kAlreadyStarted, "outputs must be added before the stream starts");
  if (type != StreamOutputType::screen && !(type == StreamOutputType::audio && config_.capturesAudio)) {
    return captureError(kUnsupportedOutput, "this capture stream delivers no audio");
  }
  if (!queue) return captureError(kBadConfiguration, "no queue given for the stream output");
  (type == StreamOutputType::screen ? screen_ : audioOutput_) = Output{std::move(output), std::move(queue)};
  return std::nullopt;
}

void X11CaptureStream::startCapture(std::function<void(std::optional<PlatformError>)> completion) {
  std::lock_guard lock(mutex_);
  if (started_) {
    std::thread([done = std::move(completion)] {
      done(captureError(kAlreadyStarted, "stream already started"));
    }).detach();
    return;
  }
  started_ = true;
  thread_ = std::thread(
      &X11CaptureStream::run,
      Run{weak_from_this(), shared_, displayName_, filter_, config_, delegate_, audio_, screen_, audioOutput_},
      std::move(completion));
}

void X11CaptureStream::run(const Run& r, const std::function<void(std::optional<PlatformError>)>& completion) {
  pthread_setname_np(pthread_self(), "qv-capture");
  const std::shared_ptr<StreamShared>& shared = r.shared;
  const std::weak_ptr<X11CaptureStream>& self = r.self;

  auto fail = [&](const PlatformError& error) {
    shared->stopped = true;
    completion(error);
  };
  if (auto refused = refusal(r.config, r.audio != nullptr)) return fail(*refused);
  auto opened = ScreenGrabber::open(r.displayName, r.filter.display.displayID, r.config);
  if (auto* error = std::get_if<PlatformError>(&opened)) return fail(*error);
  std::unique_ptr<ScreenGrabber> grabber = std::move(std::get<std::unique_ptr<ScreenGrabber>>(opened));

  // System audio, handed to the audio output's queue; stopped before this
  // thread returns. Its trouble never stops the stream.
  std::unique_ptr<AudioRecording> recording;
  if (r.audioOutput && r.audio != nullptr) {
    recording = r.audio->start([self, shared, output = *r.audioOutput](std::shared_ptr<const AudioBuffer> buffer) {
      if (shared->stopped) return;
      auto sample = std::make_shared<SampleBuffer>();
      sample->numSamples = buffer->frameCount;
      sample->presentationTime = buffer->presentationTime;
      sample->audioBuffer = std::move(buffer);
      output.queue([self, shared, receiver = output.receiver, sample] {
        if (shared->stopped) return;
        std::shared_ptr<X11CaptureStream> stream = self.lock();
        std::shared_ptr<StreamOutput> out = receiver.lock();
        if (stream && out) out->didOutputSampleBuffer(*stream, *sample, StreamOutputType::audio);
      });
    });
  }
  completion(std::nullopt);

  const auto interval = frameInterval(r.config.minimumFrameInterval);
  // While every buffer is held downstream, look again this often.
  const auto poolRetry = std::max<std::chrono::nanoseconds>(interval, std::chrono::milliseconds(5));
  bool damaged = true;  // the first frame after a start is grabbed whatever DAMAGE says
  FramePacer pacer(interval);
  // When the damage not yet grabbed began and when it was last added to.
  Clock::time_point firstDamage = Clock::time_point::min();
  Clock::time_point lastDamage = Clock::time_point::min();
  Clock::time_point retryAt{};

  auto stopWith = [&](const PlatformError& error) {
    recording.reset();
    grabber.reset();
    shared->stopped = true;
    if (shared->cancelled) return;
    std::shared_ptr<X11CaptureStream> stream = self.lock();
    std::shared_ptr<StreamDelegate> receiver = r.delegate.lock();
    if (stream && receiver) receiver->didStopWithError(*stream, error);
    // `stream` may hold the last reference: its destructor detaches us.
  };

  while (!shared->cancelled) {
    bool fresh = false;
    if (auto error = grabber->drainEvents(fresh)) return stopWith(*error);
    const auto now = Clock::now();
    if (fresh) {
      if (!damaged) firstDamage = now;
      lastDamage = now;
      damaged = true;
    }
    std::optional<Clock::time_point> wakeAt;
    if (damaged) {
      const auto due = std::max({pacer.earliest(), retryAt, damageSettledAt(firstDamage, lastDamage)});
      if (now >= due) {
        PixelBufferRef buffer = grabber->acquireBuffer();
        if (!buffer) {
          retryAt = now + poolRetry;
          continue;
        }
        const std::int64_t grabbedAt = hostNanosNow();
        if (auto error = grabber->grab(*buffer)) {
          buffer.reset();
          return stopWith(*error);
        }
        pacer.grabbed(now);
        damaged = false;
        if (r.screen && !shared->stopped) {
          auto sample = std::make_shared<SampleBuffer>();
          sample->numSamples = 1;
          sample->attachments = std::vector<FrameInfo>{
              FrameInfo{{std::string(kFrameInfoStatus), static_cast<std::int64_t>(FrameStatus::complete)}}};
          sample->imageBuffer = std::move(buffer);
          sample->presentationTime = MediaTime::fromHostNanos(grabbedAt);
          r.screen->queue([self, shared, receiver = r.screen->receiver, sample] {
            if (shared->stopped) return;
            std::shared_ptr<X11CaptureStream> stream = self.lock();
            std::shared_ptr<StreamOutput> output = receiver.lock();
            if (stream && output) output->didOutputSampleBuffer(*stream, *sample, StreamOutputType::screen);
          });
        }
        continue;  // replies may have queued events: drain before sleeping
      }
      wakeAt = due;
    }

    grabber->flush();
    pollfd fds[2] = {{grabber->fd(), POLLIN, 0}, {shared->wake.fd(), POLLIN, 0}};
    // Nanoseconds: pacing and settling work below a millisecond.
    timespec timeout{};
    if (wakeAt) {
      const auto left = std::clamp<std::chrono::nanoseconds>(*wakeAt - Clock::now(), std::chrono::nanoseconds(0),
                                                             std::chrono::seconds(60));
      timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    }
    const int n = ppoll(fds, 2, wakeAt ? &timeout : nullptr, nullptr);
    if (n > 0 && (fds[1].revents & POLLIN)) shared->wake.drain();
    if (n > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[0].revents & POLLIN)) {
      return stopWith(captureError(kConnectionBroken, "X connection broken"));
    }
  }
}

}  // namespace qx::x11
