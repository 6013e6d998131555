#include "capture/frame_intake.h"

#include <limits>
#include <numeric>
#include <variant>

namespace qx {

bool isCompleteScreenFrame(const SampleBuffer& sample) {
  if (sample.numSamples < 1) return false;
  if (!sample.attachments || sample.attachments->empty()) return false;
  const FrameInfo& info = sample.attachments->front();
  const auto status = info.find(kFrameInfoStatus);
  if (status == info.end()) return false;
  const auto* raw = std::get_if<std::int64_t>(&status->second);
  if (raw == nullptr || *raw != static_cast<std::int64_t>(FrameStatus::complete)) return false;
  return sample.imageBuffer != nullptr;
}

MediaTime addOneMillisecond(const MediaTime& time) {
  if (!time.isNumeric()) return time;
  if (time.timescale % 1000 == 0) {
    MediaTime out = time;
    out.value += time.timescale / 1000;
    return out;
  }
  // Move to a timescale that holds both exactly, when it fits.
  const std::int64_t common = std::lcm(static_cast<std::int64_t>(time.timescale), std::int64_t{1000});
  if (common <= std::numeric_limits<std::int32_t>::max()) {
    const std::int64_t factor = common / time.timescale;
    MediaTime out = time;
    out.timescale = static_cast<std::int32_t>(common);
    out.value = time.value * factor + common / 1000;
    return out;
  }
  return addSeconds(time, 0.001);
}

MediaTime nextPresentationTime(const MediaTime& lastPTS, const MediaTime& pts) {
  if (lastPTS.isNumeric() && (!pts.isNumeric() || compare(pts, lastPTS) <= 0)) return addOneMillisecond(lastPTS);
  return pts;
}

bool shouldResubmit(bool needsConfirm, std::chrono::nanoseconds idle, bool recoveryPending) {
  const bool keyDue = recoveryPending && idle >= kKeyDueDelay;
  if (keyDue) return true;
  return idle >=
         (needsConfirm ? std::chrono::nanoseconds(kConfirmDelay) : std::chrono::nanoseconds(kKeepAliveInterval));
}

}  // namespace qx
