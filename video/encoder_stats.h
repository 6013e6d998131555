#pragma once

#include <cstdint>
#include <string>

namespace qx {

// The counters of one statistics window (plain value, no lock of its own).
struct StatsWindow {
  std::int64_t bytes = 0;
  std::int64_t frames = 0;
  std::int64_t maxFrame = 0;
  std::int64_t idrs = 0;
  std::int64_t idrBytes = 0;
  double encSumMs = 0;
  double encMaxMs = 0;
  std::int64_t encN = 0;

  void addFrame(std::int64_t size, bool keyframe);
  void addLatency(double ms);
};

// The "[stats] ..." line for a window that lasted `elapsedSeconds` (> 0) with
// `targetBitrate` in force.
std::string formatStatsLine(const StatsWindow& window, double elapsedSeconds, std::int64_t targetBitrate);

}  // namespace qx
