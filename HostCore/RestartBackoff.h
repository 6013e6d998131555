#pragma once

// How long to wait before restarting a server that ended on its own: 1, 2, 4,
// 8, 16, then 30 s for consecutive short runs; a run of at least 60 s counts
// as healthy and starts the sequence afresh. A plain value; no clock inside,
// the caller measures the run time.

#include <cstdint>

namespace qx {

class RestartBackoff {
 public:
  static constexpr double healthyAfter = 60.0;  // seconds
  static constexpr double maxDelay = 30.0;      // seconds

  // Delay in seconds before the next start, given how long the ended process
  // ran (from launch to the handling of its end); counts the failure.
  double nextDelay(double afterRunOf);

  // Forgets earlier failures (the user restarted the server by hand).
  void reset() { failures_ = 0; }

 private:
  std::int64_t failures_ = 0;
};

}  // namespace qx
