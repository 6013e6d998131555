#pragma once

#include <cstdint>

namespace qx::rate_control {

inline constexpr std::int64_t kMinBitrate = 1'000'000;
inline constexpr std::int64_t kMaxBitrate = 60'000'000;
inline constexpr std::int64_t kMaxFrameQP = 42;

// The two data-rate windows of the average-bitrate mode: at most
// `windowBytes` in any quarter second and `peakBytes` in any second.
struct DataRateLimits {
  std::int64_t windowBytes = 0;
  std::int64_t peakBytes = 0;
  friend bool operator==(const DataRateLimits&, const DataRateLimits&) = default;
};

// window = a quarter second at `bitrate`; peak = peakMax kept within
// [bitrate, 2 x bitrate], or 2 x bitrate when peakMax <= 0. Saturates for
// bitrates near the 64-bit limit.
DataRateLimits limitsFor(std::int64_t bitrate, std::int64_t peakMax);

// A bitrate requested on the control channel, clamped to [1 M, 60 M].
std::int64_t clampRequested(std::int64_t bitrate);

}  // namespace qx::rate_control
