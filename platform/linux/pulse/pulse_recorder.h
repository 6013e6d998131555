#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/audio_source.h"
#include "platform/capture_service.h"
#include "platform/media.h"

namespace qx {

namespace pulse {
struct Session;
}

// Records the default sink's monitor (what the machine is playing) through
// the PulseAudio API; PipeWire's Pulse server works the same. Buffers come in
// the source's own format (any format Pulse cannot hand over as u8, s16, s32
// or float is asked for as float), always interleaved, stamped with
// CLOCK_MONOTONIC nanoseconds at arrival. When the default sink changes (a
// headset plugged in), the recording moves to the new default's monitor,
// whose format may differ: each buffer says its own.
//
// The recorder runs one libpulse thread ("qv-pulse"). Both callbacks run on
// that thread and must return quickly (hand the work to a queue); neither may
// destroy the recorder. Destroy it from any other thread: the destructor
// disconnects and joins, and no callback runs after it returns.
class PulseRecorder final : public AudioRecording {
 public:
  using BufferFn = AudioBufferFn;
  // The server went away or the recording stopped: called at most once,
  // never during start(); nothing is delivered after it.
  using FailureFn = AudioFailureFn;

  // Connects to the default server (no autospawn), finds the default sink's
  // monitor and starts recording. Fails with a text naming the cause, for
  // example when no sound server is reachable.
  [[nodiscard]] static std::variant<std::unique_ptr<PulseRecorder>, PlatformError> start(BufferFn onBuffer,
                                                                                         FailureFn onFailure);
  ~PulseRecorder() override;
  PulseRecorder(const PulseRecorder&) = delete;
  PulseRecorder& operator=(const PulseRecorder&) = delete;

  // The format buffers were delivered in at start.
  const AudioFormat& format() const { return format_; }
  // Name of the source recorded at start (e.g. "sink.monitor").
  const std::string& sourceName() const { return sourceName_; }

 private:
  PulseRecorder() = default;

  std::unique_ptr<pulse::Session> session_;
  AudioFormat format_;
  std::string sourceName_;
};

// PulseRecorder::start as the one attempt a retrying audio source makes.
AudioRecorderStart pulseRecorderStart();

inline constexpr const char* kPulseErrorDomain = "PulseAudio";

}  // namespace qx
