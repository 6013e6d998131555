#pragma once

#include <chrono>
#include <memory>

#include "common/log.h"
#include "platform/audio_source.h"
#include "platform/dispatch.h"

namespace qx {

// System audio that never takes the video down. Each recording is attempted
// on this source's own serial queue "com.quorvex.screencap.audiosource"
// ("qv-audiosrc"), never on the caller's thread, so a sound server that hangs
// delays only audio. When audio cannot start or stops, one line says so and it
// is attempted again every `retryPeriod` until it runs; one more line when it
// is back. The muxer counts the missing time as a capture gap.
//
// Threads: attempts, failures and teardown of the sound-server recordings run
// on the queue; buffers are passed on from the recorder's thread under the
// recording's own mutex, so none arrives after its handle is destroyed.
class RetryingAudioSource final : public AudioSource {
 public:
  // `queues` and `log` must outlive the source; the source must outlive every
  // recording it hands out.
  RetryingAudioSource(AudioRecorderStart startRecorder, QueueFactory& queues, LogFn log,
                      std::chrono::nanoseconds retryPeriod = std::chrono::seconds(2));
  ~RetryingAudioSource() override;
  RetryingAudioSource(const RetryingAudioSource&) = delete;
  RetryingAudioSource& operator=(const RetryingAudioSource&) = delete;

  [[nodiscard]] std::unique_ptr<AudioRecording> start(AudioBufferFn onBuffer) override;

 private:
  struct Keeper;
  class Handle;

  void attempt(const std::shared_ptr<Keeper>& keeper);
  void failed(const std::shared_ptr<Keeper>& keeper, std::uint64_t generation, const PlatformError& error);
  void audioOff(const std::shared_ptr<Keeper>& keeper, const std::string& line);

  const AudioRecorderStart startRecorder_;
  const LogFn log_;
  const std::chrono::nanoseconds retryPeriod_;
  bool audioOff_ = false;               // queue only: the last line said audio is off
  std::unique_ptr<SerialQueue> queue_;  // last: destroyed first, so no work outlives the rest
};

}  // namespace qx
