#pragma once

// System audio (what the machine plays), as capture backends deliver it on a
// stream's audio output. Kept apart from the screen backends so that every
// backend records audio the same way.

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/capture_service.h"
#include "platform/media.h"

namespace qx {

// Receives recorded buffers, in the source's own format (each buffer says
// which), stamped on the host media clock. Runs on a thread of the source's
// choosing and must return quickly (hand the work to a queue).
using AudioBufferFn = std::function<void(std::shared_ptr<const AudioBuffer> buffer)>;

// One running recording. Destroying it stops it: after the destructor returns
// no callback of it runs. The destructor never blocks for long and may run on
// any thread except the recording's own callbacks.
class AudioRecording {
 public:
  virtual ~AudioRecording() = default;
};

// Where a capture stream gets its audio. Injected into the capture service,
// which starts one recording per running stream that captures audio.
class AudioSource {
 public:
  virtual ~AudioSource() = default;

  // Starts recording into `onBuffer`. Never fails: a sound server that is
  // missing or goes away costs audio only, never the stream; the source
  // reports that itself and keeps trying. Any thread.
  [[nodiscard]] virtual std::unique_ptr<AudioRecording> start(AudioBufferFn onBuffer) = 0;
};

// One attempt at recording, as a sound-server backend makes it: fails at once
// with the reason, or runs until `onFailure` (called at most once, on the
// recording's own thread, never during the call; nothing is delivered after
// it). The recording must not be destroyed inside its own callbacks.
using AudioFailureFn = std::function<void(const PlatformError& error)>;
using AudioRecorderStart =
    std::function<std::variant<std::unique_ptr<AudioRecording>, PlatformError>(AudioBufferFn, AudioFailureFn)>;

}  // namespace qx
