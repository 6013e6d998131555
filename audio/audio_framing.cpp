#include "audio/audio_framing.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace qx {

std::vector<std::uint8_t> frameOpusPacket(std::span<const std::uint8_t> packet) {
  std::vector<std::uint8_t> frame;
  frame.reserve(packet.size() + 2);
  frame.push_back(static_cast<std::uint8_t>((packet.size() >> 8) & 0xff));
  frame.push_back(static_cast<std::uint8_t>(packet.size() & 0xff));
  frame.insert(frame.end(), packet.begin(), packet.end());
  return frame;
}

WriteOutcome writeAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor in non-blocking mode: wait for room rather than cut the
      // frame. An error or hang-up shows up on the next write.
      pollfd p{fd, POLLOUT, 0};
      int r;
      do {
        r = ::poll(&p, 1, -1);
      } while (r < 0 && errno == EINTR);
      if (r >= 0) continue;
    }
    break;
  }
  if (done == bytes.size()) return WriteOutcome::complete;
  return done == 0 ? WriteOutcome::nothingWritten : WriteOutcome::partial;
}

std::optional<std::string> CaptureGapTracker::noteDelivery(std::uint64_t nowNs) {
  std::optional<std::string> line;
  if (lastDelivery_ != 0) {
    // A clock that went backwards is no gap.
    std::uint64_t gap = nowNs > lastDelivery_ ? nowNs - lastDelivery_ : 0;
    if (gap >= kGapThresholdNs) {
      ++gapsSinceLog_;
      longestGap_ = std::max(longestGap_, gap);
      bool quiet = lastGapLog_ != 0 && nowNs - lastGapLog_ < kQuietPeriodNs;
      if (!quiet) {
        std::string text = "audio: capture gap " + std::to_string(longestGap_ / 1'000'000) + "ms";
        if (gapsSinceLog_ >= 2) {
          text += " (" + std::to_string(gapsSinceLog_) + " gaps \u226560ms since last report)";
        }
        line = std::move(text);
        lastGapLog_ = nowNs;
        gapsSinceLog_ = 0;
        longestGap_ = 0;
      }
    }
  }
  lastDelivery_ = nowNs;
  return line;
}

}  // namespace qx
