#pragma once

// What a compression session has been told through its properties: the
// rules both H.264 backends (x264, OpenH264) follow. Plain values, no
// encoder types, so they are testable on their own.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compression_session.h"

namespace qx::h264 {

enum class Profile { baseline, main, high, constrainedHigh };

struct RateSettings {
  // Exactly one of the two bitrates is in force: the one set last.
  std::optional<std::int64_t> averageBitrate;                   // bit/s
  std::optional<std::int64_t> constantBitrate;                  // bit/s
  std::vector<std::pair<std::int64_t, double>> dataRateLimits;  // (bytes, seconds)
  std::optional<int> maxFrameQP;
  friend bool operator==(const RateSettings&, const RateSettings&) = default;
};

struct SessionSettings {
  Profile profile = Profile::high;
  double fps = 30.0;
  bool fpsIsInteger = true;
  std::int64_t maxKeyFrameInterval = 0;      // frames; 0 = no limit
  double maxKeyFrameIntervalDuration = 0.0;  // seconds of presentation time; 0 = no limit
  RateSettings rate;
};

// Validates one property and records it in `settings`. Keys that shape the
// stream (profile, colour, keyframe interval, frame rate) can change only
// before prepare; rate keys at any time, except a switch between average
// and constant bitrate once prepared. Returns a session_status value;
// `settings` is unchanged unless 0 is returned.
std::int32_t applyProperty(SessionSettings& settings, std::string_view key, const PropertyValue& value, bool prepared);

// EnableLTR for a backend with loss recovery of its own: a boolean, kept in
// `on` until prepare, read-only after. Empty for every other key.
std::optional<std::int32_t> recoveryProperty(std::string_view key, const PropertyValue& value, bool prepared, bool& on);

// Frames between forced IDRs: the tighter of the two limits, or the
// encoder's "no limit" marker `infinite` when neither is set.
int keyframeInterval(const SessionSettings& settings, int infinite);

// Whether the duration limit makes the frame at presentation time `ticks`
// (`ticksPerSecond` a second) a keyframe: the encoders themselves count only frames, and
// a damage-driven stream on a still screen sends one frame per 2 s, so the
// frame limit alone would take half an hour there. `lastKeyframe` is the
// presentation time of the last keyframe, absent before the first (which is
// one anyway).
bool keyframeDueByDuration(const SessionSettings& settings, std::optional<std::int64_t> lastKeyframe,
                           std::int64_t ticks, std::int64_t ticksPerSecond);

}  // namespace qx::h264
