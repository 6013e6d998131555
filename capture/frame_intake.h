#pragma once

#include <chrono>
#include <cstdint>

#include "platform/capture_service.h"
#include "platform/media.h"

namespace qx {

// The idle timer: a tick every 50 ms, at most 5 ms late.
inline constexpr std::chrono::milliseconds kIdleTickPeriod{50};
inline constexpr std::chrono::milliseconds kIdleTickLeeway{5};
// Re-send the settled picture this long after a captured frame...
inline constexpr std::chrono::milliseconds kConfirmDelay{300};
// ...and keep the stream alive this often while nothing changes.
inline constexpr std::chrono::milliseconds kKeepAliveInterval{2000};
// A waiting keyframe or refresh is served once this much time has passed.
inline constexpr std::chrono::milliseconds kKeyDueDelay{50};

// True for a screen buffer worth encoding: at least one sample, a first
// attachment whose status is the integer 0 (complete), and a pixel buffer.
bool isCompleteScreenFrame(const SampleBuffer& sample);

// The time to submit a frame at: `pts`, unless it is not later than the last
// submission's, in which case the last one + 1 ms (the encoder needs strictly
// increasing times).
MediaTime nextPresentationTime(const MediaTime& lastPTS, const MediaTime& pts);

// `time` + 1 ms, exact where the timescale allows.
MediaTime addOneMillisecond(const MediaTime& time);

// Whether an idle tick re-submits the last frame. `idle` is the time since the
// last submission; `recoveryPending` whether the encoder waits for a frame to
// carry a keyframe or refresh.
bool shouldResubmit(bool needsConfirm, std::chrono::nanoseconds idle, bool recoveryPending);

}  // namespace qx
