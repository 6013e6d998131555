#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx {

// 20 ms of 48 kHz stereo: 960 frames, 1920 interleaved floats.
inline constexpr std::size_t kOpusFrameSamplesPerChannel = 960;
inline constexpr std::size_t kOpusFrameFloats = kOpusFrameSamplesPerChannel * 2;
inline constexpr std::size_t kMaxOpusPacketBytes = 1500;

// Converted samples waiting to be cut into whole 20-ms frames. Value type,
// single-threaded.
class PendingSamples {
 public:
  void append(std::span<const float> samples) { samples_.insert(samples_.end(), samples.begin(), samples.end()); }

  // Calls frame(std::span<const float>) with each whole frame of
  // kOpusFrameFloats in order, then removes them; fewer than a frame stay.
  // Returns the number of frames handed out.
  template <class FrameFn>
  std::size_t drainWholeFrames(FrameFn&& frame) {
    std::size_t consumed = 0;
    std::size_t frames = 0;
    while (samples_.size() - consumed >= kOpusFrameFloats) {
      frame(std::span<const float>(samples_.data() + consumed, kOpusFrameFloats));
      consumed += kOpusFrameFloats;
      ++frames;
    }
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(consumed));
    return frames;
  }

  std::size_t size() const { return samples_.size(); }

 private:
  std::vector<float> samples_;
};

// One frame on the audio descriptor: the packet length as 2 bytes, big-endian,
// then the packet. `packet` must be at most 65535 bytes (Opus gives <= 1500).
std::vector<std::uint8_t> frameOpusPacket(std::span<const std::uint8_t> packet);

enum class WriteOutcome {
  complete,        // every byte was written
  nothingWritten,  // failed before the first byte: the stream is still at a frame boundary
  partial,         // failed after some bytes: the reader can never find the next boundary
};

// Writes all of `bytes` to `fd`. An interrupted call is repeated; on a
// non-blocking descriptor that is full it waits (poll) until it can write
// again. Any other error, or a call that writes nothing, ends the attempt.
// The caller ignores SIGPIPE (the helper does), so a reader that went away
// shows up as a failed write.
WriteOutcome writeAll(int fd, std::span<const std::uint8_t> bytes);

// Watches the arrival times of audio buffers and produces the rate-limited
// capture-gap line. Value type; the caller supplies monotonic nanoseconds.
class CaptureGapTracker {
 public:
  static constexpr std::uint64_t kGapThresholdNs = 60'000'000;
  static constexpr std::uint64_t kQuietPeriodNs = 10'000'000'000;

  // Records a delivery at `nowNs` (> 0) and returns the line to log, if any.
  std::optional<std::string> noteDelivery(std::uint64_t nowNs);

 private:
  std::uint64_t lastDelivery_ = 0;  // 0 = nothing delivered yet
  std::uint64_t lastGapLog_ = 0;    // 0 = never reported
  std::int64_t gapsSinceLog_ = 0;
  std::uint64_t longestGap_ = 0;
};

}  // namespace qx
