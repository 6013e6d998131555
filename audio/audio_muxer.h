#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "audio/audio_framing.h"
#include "audio/opus_encoder.h"
#include "common/log.h"
#include "platform/audio_converter.h"
#include "platform/capture_service.h"
#include "platform/dispatch.h"
#include "platform/media.h"

namespace qx {

// Converts captured audio to 48 kHz stereo float, cuts it into 20-ms frames,
// encodes each with Opus and writes it to a descriptor as a 2-byte big-endian
// length followed by the packet. Also reports gaps in the capture.
//
// Threads: ingest() runs on the engine's serial audio-sample queue (one buffer
// at a time); encoding and writing run on the muxer's own serial queue
// "com.quorvex.screencap.audioencode", so a slow reader delays only that queue.
// What waits for that queue is bounded to one second of audio: past that the
// oldest whole 20-ms frames are dropped, so a reader that stalls costs audio,
// never memory.
// start() is called once before the first ingest().
class AudioMuxer {
 public:
  // `fd` is never closed by the muxer. `converters`, `queues` and `clock`
  // must outlive the muxer; `log` receives the start and capture-gap lines.
  AudioMuxer(int fd, AudioConverterFactory& converters, QueueFactory& queues, const Clock& clock, LogFn log);
  ~AudioMuxer();
  AudioMuxer(const AudioMuxer&) = delete;
  AudioMuxer& operator=(const AudioMuxer&) = delete;

  // Refuses a descriptor that is standard input, output or error or is not
  // open for writing, then creates the Opus encoder. On success logs
  // "audio: muxing system audio → Opus 48k stereo (fd N)".
  [[nodiscard]] std::optional<AudioError> start();

  // Takes one captured audio sample buffer in the source's own format. Buffers
  // that are empty, malformed or cannot be converted are dropped without a
  // message but still count as deliveries for gap detection.
  void ingest(const SampleBuffer& sample);

  int fd() const { return fd_; }

 private:
  // Everything the encode queue touches. Queued work holds it weakly, so work
  // that runs after the muxer is gone drops its samples.
  struct EncodeState {
    std::mutex backlogMutex;
    std::vector<float> backlog;  // guarded by backlogMutex: converted, not yet taken by the encode queue
    bool drainQueued = false;    // guarded by backlogMutex: one drain at a time waits on the queue

    // Encode queue only.
    int fd = -1;
    std::unique_ptr<OpusEncoder> encoder;  // written once by start(), before any audio
    PendingSamples pending;
    bool stopped = false;  // a frame was cut in half: the stream cannot be resynchronised
    LogFn log;
  };

  static void drainBacklog(EncodeState& state);
  static void encodeWholeFrames(EncodeState& state, std::span<const float> samples);
  void noteDelivery(std::uint64_t nowNs);

  const int fd_;
  AudioConverterFactory& converters_;
  const Clock& clock_;
  LogFn log_;
  std::shared_ptr<EncodeState> state_;
  std::unique_ptr<AudioConverter> converter_;  // audio-sample queue only
  CaptureGapTracker gaps_;                     // audio-sample queue only
  std::vector<float> converted_;               // scratch output, audio-sample queue only
  std::unique_ptr<SerialQueue> encodeQueue_;   // last: destroyed first, so no work outlives the rest
};

}  // namespace qx
