#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "platform/compression_session.h"
#include "platform/dispatch.h"
#include "platform/media.h"
#include "video/annexb_writer.h"
#include "video/encoder_stats.h"

namespace qx {

struct H264EncoderConfig {
  std::int64_t width = 0;    // even, fits 32 bits
  std::int64_t height = 0;   // even, fits 32 bits
  std::int64_t fps = 30;     // at least 1
  std::int64_t bitrate = 0;  // bit/s, as given on the command line (not clamped)
  std::string rc;            // "cbr" = constant bit rate; anything else = average bitrate
  std::int64_t peakMax = 0;  // bit/s; <= 0 means twice the target
  bool lowLatency = false;   // ask for the low-latency rate controller
  bool ltr = false;          // ask for long-term references (low-latency only)
};

// What the encoder needs from outside. `clock` and `writer` must outlive the
// encoder. `clock.monotonicNow()` times keyframe spacing, the statistics
// window and encode latency (a wall-clock change must not force or suppress
// keyframes).
struct H264EncoderDeps {
  CompressionSessionFactory makeSession;
  const Clock* clock = nullptr;
  LogFn log;
};

// One H.264 compression session and everything around it: properties at
// construction, per-frame submission with keyframe / refresh / acknowledgement
// requests, conversion of encoded samples into Annex B access units written
// through the AnnexBWriter, rate control and statistics.
//
// Threads: `encode` and `recoveryPending` from the capture sample queue;
// `requestKeyframe`, `requestRefresh`, `acknowledge`, `setBitrate` from the
// control channel; encoded samples arrive on the session's output thread.
// Locks: `forceKeyLock_` (request state) and `statsLock_` (statistics) are
// never held together, and neither is held while the writer writes.
class H264Encoder {
 public:
  // Creates the session (low-latency first when asked, then classic), sets
  // its properties and prepares it. Null when no usable session could be
  // made; the reason has been logged.
  [[nodiscard]] static std::unique_ptr<H264Encoder> create(const H264EncoderConfig& config, AnnexBWriter& writer,
                                                           H264EncoderDeps deps);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // Submits one frame with whatever requests are pending.
  void encode(PixelBufferRef buffer, MediaTime pts);

  // The next submitted frame is forced to be a keyframe.
  void requestKeyframe();
  // A long-term-reference refresh on the next frame; a keyframe when long-term
  // references are off.
  void requestRefresh();
  // Queues a token to be acknowledged with the next frame (even with LTR off).
  void acknowledge(std::int64_t token);
  // Clamps to [1 M, 60 M] bit/s and applies it to the session at once.
  // One caller at a time.
  void setBitrate(std::int64_t bitrate);
  // A keyframe or refresh request is waiting for a frame.
  [[nodiscard]] bool recoveryPending();

  bool lowLatency() const { return lowLatency_; }
  bool ltrEnabled() const { return ltrEnabled_; }
  std::int64_t currentBitrate() const { return currentBitrate_.load(); }
  // Monotonic time of the last keyframe that came out or was forced by the
  // 30-second rule.
  std::chrono::nanoseconds lastKeyframeAt();

  static constexpr std::chrono::seconds kKeyframeInterval{30};
  // submitAt is emptied before an insertion when it holds more than this.
  static constexpr std::size_t kMaxPendingSubmissions = 64;

 private:
  H264Encoder(const H264EncoderConfig& config, AnnexBWriter& writer, H264EncoderDeps deps);

  bool configure(std::unique_ptr<CompressionSession> session);
  std::int32_t set(std::string_view key, const PropertyValue& value);
  void applyRateControl(std::int64_t bitrate);
  void onOutput(std::int32_t status, const EncodedSample* sample);
  void handleEncoded(const EncodedSample& sample);
  void recordStats(std::int64_t bytes, bool keyframe, std::int64_t pts);

  AnnexBWriter& writer_;
  const Clock& clock_;
  const LogFn log_;
  const std::int64_t fps_;
  const std::string rc_;
  const std::int64_t peakMax_;
  const bool ltrRequested_;
  std::atomic<std::int64_t> currentBitrate_;
  bool lowLatency_ = false;  // fixed after construction
  bool ltrEnabled_ = false;  // fixed after construction

  std::mutex forceKeyLock_;
  bool forceKeyframe_ = false;               // forceKeyLock_
  std::chrono::nanoseconds lastKeyframeAt_;  // forceKeyLock_
  std::vector<std::int64_t> pendingAcks_;    // forceKeyLock_
  bool pendingRefresh_ = false;              // forceKeyLock_
  std::optional<std::int64_t> refreshPTS_;   // forceKeyLock_

  // Serializes property changes (construction, then the control channel).
  std::mutex rateLock_;
  std::set<std::string, std::less<>> rejectedKeys_;  // rateLock_

  std::mutex statsLock_;
  StatsWindow stats_;                                          // statsLock_
  std::chrono::nanoseconds statWindowStart_;                   // statsLock_
  std::map<std::int64_t, std::chrono::nanoseconds> submitAt_;  // statsLock_

  // Last member: destroyed first, so its output thread is gone before the
  // state the callback touches.
  std::unique_ptr<CompressionSession> session_;
};

}  // namespace qx
