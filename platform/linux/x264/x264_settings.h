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
  std::optional<std::int64_t> averageBitrate;   // bit/s
  std::optional<std::int64_t> constantBitrate;  // bit/s
  std::vector<std::pair<std::int64_t, double>> dataRateLimits;  // (bytes, seconds)
  std::optional<int> maxFrameQP;
  friend bool operator==(const RateSettings&, const RateSettings&) = default;
};

struct SessionSettings {
  Profile profile = Profile::high;
  double fps = 30.0;
  bool fpsIsInteger = true;
  std::int64_t maxKeyFrameInterval = 0;      // frames; 0 = no limit
  double maxKeyFrameIntervalDuration = 0.0;  // seconds; 0 = no limit
  RateSettings rate;
};

// Validates one property and records it in `settings`. Keys that shape the
// stream (profile, colour, keyframe interval, frame rate) can change only
// before prepare; rate keys at any time. Returns a session_status value;
// `settings` is unchanged unless 0 is returned.
std::int32_t applyProperty(SessionSettings& settings, std::string_view key, const PropertyValue& value,
                           bool prepared);

// x264's rate-control fields for the settings (kbit/s and kbit as x264 wants).
struct RateMapping {
  bool abr = false;           // false: constant-quality default (nothing set yet)
  int bitrateKbps = 0;
  int vbvMaxKbps = 0;         // 0: no VBV
  int vbvBufferKbit = 0;
  bool filler = false;
  std::optional<int> qpMax;
  friend bool operator==(const RateMapping&, const RateMapping&) = default;
};

// Average bitrate -> ABR. The data-rate windows -> one VBV: its rate is the
// lowest rate any window allows (bytes x 8 / seconds), so every window's
// average is kept; its buffer is half the bits of the shortest window, so a
// burst overshoots that window by at most half of it. The VBV is also what
// makes later bitrate changes work: x264 keeps the average target it was
// opened with, and only the VBV follows a reconfiguration. A smaller buffer
// makes that quicker; a full window left a 1.5x step up ~20 % short after
// two seconds.
// Constant bitrate -> ABR with VBV rate = bitrate, a quarter-second buffer
// and filler data, the closest x264 has to strict CBR.
RateMapping mapRate(const RateSettings& rate);

// Frames between forced IDRs: the tighter of the two limits, or x264's
// "infinite" marker `infinite` when neither is set.
int keyframeInterval(const SessionSettings& settings, int infinite);

}  // namespace qx::x264
