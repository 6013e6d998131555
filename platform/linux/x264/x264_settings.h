#pragma once

// What an x264 compression session has been told through its properties,
// and how that maps onto x264's own settings. Plain values, no x264 types,
// so the mapping is testable on its own.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compression_session.h"

namespace qx::x264 {

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

enum class RateMethod {
  defaultQuality,  // no bitrate set yet: x264's own constant-quality default
  cappedQuality,   // x264 CRF under a VBV cap
  abr,             // x264 ABR (here always with VBV rate = bitrate, filler)
};

// x264's rate-control fields for the settings (kbit/s and kbit as x264 wants).
struct RateMapping {
  RateMethod method = RateMethod::defaultQuality;
  int bitrateKbps = 0;      // ABR target; 0 for the other methods
  double rateFactor = 0.0;  // CRF value for cappedQuality
  int vbvMaxKbps = 0;       // 0: no VBV
  int vbvBufferKbit = 0;
  bool filler = false;
  std::optional<int> qpMax;
  friend bool operator==(const RateMapping&, const RateMapping&) = default;
};

// The CRF under the cap: low enough that the cap, not the quality target,
// decides the rate of any picture with detail to spend bits on, so the
// average bitrate is used as it was asked for. (0 would switch x264 to
// lossless, which has no rate control at all.)
inline constexpr double kCappedRateFactor = 1.0;

// Average bitrate -> CRF capped by a VBV whose rate is the average bitrate
// or the lowest rate any data-rate window allows (bytes x 8 / seconds),
// whichever is lower, so every window's average is kept; its buffer is half
// the bits of the shortest window, so a burst overshoots that window by at
// most half of it (without windows: one second at the average bitrate).
// Not x264's ABR: a reconfigured ABR reaches a raised bitrate only as fast
// as its complexity history forgets, which on sharp, high-contrast content
// (bits barely grow as the quantizer falls) took well over two seconds for
// a 1.5x step, while the VBV follows a reconfiguration within a few frames
// in both directions.
// Constant bitrate -> ABR with VBV rate = bitrate, a quarter-second buffer
// and filler data, the closest x264 has to strict CBR.
RateMapping mapRate(const RateSettings& rate);

// Frames between forced IDRs: the tighter of the two limits, or x264's
// "infinite" marker `infinite` when neither is set.
int keyframeInterval(const SessionSettings& settings, int infinite);

// Whether the duration limit makes the frame at presentation time `ticks`
// (`ticksPerSecond` a second) a keyframe: x264 itself counts only frames, and
// a damage-driven stream on a still screen sends one frame per 2 s, so the
// frame limit alone would take half an hour there. `lastKeyframe` is the
// presentation time of the last keyframe, absent before the first (which is
// one anyway).
bool keyframeDueByDuration(const SessionSettings& settings, std::optional<std::int64_t> lastKeyframe,
                           std::int64_t ticks, std::int64_t ticksPerSecond);

}  // namespace qx::x264
