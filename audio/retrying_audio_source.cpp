#include "audio/retrying_audio_source.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace qx {

// One recording handed out by start(), shared with queued work and the
// recorder's callbacks (weakly).
struct RetryingAudioSource::Keeper {
  std::mutex mutex;
  bool stopped = false;    // guarded by mutex: the handle is gone, deliver nothing
  AudioBufferFn onBuffer;  // guarded by mutex

  // Queue only.
  std::unique_ptr<AudioRecording> recording;
  std::uint64_t generation = 0;  // which attempt a failure belongs to

  bool isStopped() {
    std::lock_guard lock(mutex);
    return stopped;
  }
  void deliver(std::shared_ptr<const AudioBuffer> buffer) {
    std::lock_guard lock(mutex);
    if (!stopped) onBuffer(std::move(buffer));
  }
};

class RetryingAudioSource::Handle final : public AudioRecording {
 public:
  Handle(std::shared_ptr<Keeper> keeper, SerialQueue& queue) : keeper_(std::move(keeper)), queue_(queue) {}
  ~Handle() override {
    {
      std::lock_guard lock(keeper_->mutex);
      keeper_->stopped = true;
      keeper_->onBuffer = nullptr;
    }
    // The sound-server recording may be starting right now: end it there.
    queue_.post([keeper = keeper_] { keeper->recording.reset(); });
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

 private:
  std::shared_ptr<Keeper> keeper_;
  SerialQueue& queue_;
};

RetryingAudioSource::RetryingAudioSource(AudioRecorderStart startRecorder, QueueFactory& queues, LogFn log,
                                         std::chrono::nanoseconds retryPeriod)
    : startRecorder_(std::move(startRecorder)),
      log_(std::move(log)),
      retryPeriod_(retryPeriod),
      queue_(queues.makeSerialQueue("com.quorvex.screencap.audiosource", "qv-audiosrc")) {}

RetryingAudioSource::~RetryingAudioSource() = default;

std::unique_ptr<AudioRecording> RetryingAudioSource::start(AudioBufferFn onBuffer) {
  auto keeper = std::make_shared<Keeper>();
  keeper->onBuffer = std::move(onBuffer);
  queue_->post([this, keeper] { attempt(keeper); });
  return std::make_unique<Handle>(keeper, *queue_);
}

void RetryingAudioSource::attempt(const std::shared_ptr<Keeper>& keeper) {
  if (keeper->isStopped()) return;
  const std::uint64_t generation = ++keeper->generation;
  std::weak_ptr<Keeper> weak = keeper;
  auto started = startRecorder_(
      [weak](std::shared_ptr<const AudioBuffer> buffer) {
        if (auto k = weak.lock()) k->deliver(std::move(buffer));
      },
      [this, weak, generation](const PlatformError& error) {
        // On the recorder's own thread, which must not destroy it.
        queue_->post([this, weak, generation, error] {
          if (auto k = weak.lock()) failed(k, generation, error);
        });
      });
  if (auto* error = std::get_if<PlatformError>(&started)) {
    return audioOff(keeper, "audio: no system audio: " + error->description);
  }
  keeper->recording = std::move(std::get<std::unique_ptr<AudioRecording>>(started));
  if (keeper->isStopped()) {
    keeper->recording.reset();
    return;
  }
  if (audioOff_) log_("audio: system audio is back");
  audioOff_ = false;
}

void RetryingAudioSource::failed(const std::shared_ptr<Keeper>& keeper, std::uint64_t generation,
                                 const PlatformError& error) {
  if (generation != keeper->generation || !keeper->recording) return;
  keeper->recording.reset();
  if (keeper->isStopped()) return;
  audioOff_ = false;  // it ran: its end is news even after an earlier outage
  audioOff(keeper, "audio: system audio stopped: " + error.description);
}

void RetryingAudioSource::audioOff(const std::shared_ptr<Keeper>& keeper, const std::string& line) {
  if (!audioOff_) {
    const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(retryPeriod_).count() / 1000.0;
    char period[32];
    std::snprintf(period, sizeof period, "%g", seconds);
    log_(line + "; video goes on, trying again every " + period + " s");
  }
  audioOff_ = true;
  std::weak_ptr<Keeper> weak = keeper;
  queue_->postAfter(retryPeriod_, [this, weak] {
    if (auto k = weak.lock()) attempt(k);
  });
}

}  // namespace qx
