#pragma once

// What the encoder shell queues, and the conversion of presentation times
// both backends share.

#include <cstdint>
#include <utility>

#include "platform/compression_session.h"

namespace qx::h264 {

struct Job {
  PixelBufferRef buffer;
  MediaTime pts;
  FrameOptions options;
};

// A frame dropped from a full queue hands its requests to the one replacing it.
inline void mergeInto(FrameOptions& later, FrameOptions&& earlier) {
  later.forceKeyframe = later.forceKeyframe || earlier.forceKeyframe;
  later.forceLTRRefresh = later.forceLTRRefresh || earlier.forceLTRRefresh;
  earlier.acknowledgedTokens.insert(earlier.acknowledgedTokens.end(), later.acknowledgedTokens.begin(),
                                    later.acknowledgedTokens.end());
  later.acknowledgedTokens = std::move(earlier.acknowledgedTokens);
}

// A presentation time in ticks of `perSecond`, saturating; 0 when not numeric.
inline std::int64_t toTicks(const MediaTime& t, std::int64_t perSecond) {
  if (!t.isNumeric()) return 0;
  const std::int64_t whole = t.value / t.timescale;
  const std::int64_t part = t.value % t.timescale;  // |part| < 2^31, so part x perSecond fits
  const std::int64_t limit = INT64_MAX / perSecond - 1;
  if (whole > limit) return INT64_MAX;
  if (whole < -limit) return INT64_MIN;
  return whole * perSecond + part * perSecond / t.timescale;
}

}  // namespace qx::h264
