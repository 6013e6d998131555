#include "video/rate_control.h"

#include <algorithm>

#include "common/numbers.h"

namespace qx::rate_control {

DataRateLimits limitsFor(std::int64_t bitrate, std::int64_t peakMax) {
  DataRateLimits limits;
  limits.windowBytes = saturatingTruncate(static_cast<double>(bitrate) * 0.125 * 0.25);
  const std::int64_t twice = saturatingMul(bitrate, 2);
  const std::int64_t peak = peakMax >= 1 ? std::max(std::min(peakMax, twice), bitrate) : twice;
  limits.peakBytes = peak / 8;
  return limits;
}

std::int64_t clampRequested(std::int64_t bitrate) { return std::clamp(bitrate, kMinBitrate, kMaxBitrate); }

}  // namespace qx::rate_control
