#pragma once

// How the session settings map onto x264's own rate control. Plain values,
// no x264 types, so the mapping is testable on its own.

#include <optional>

#include "platform/linux/h264/session_settings.h"

namespace qx::x264 {

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
RateMapping mapRate(const h264::RateSettings& rate);

}  // namespace qx::x264
