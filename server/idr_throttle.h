#pragma once

#include <chrono>
#include <optional>

namespace qx::server {

// Forwards keyframe requests to the helper at most once per window: every
// keyframe costs several ordinary frames at the same quality, so a flood of
// requests (many clients joining, or one asking again and again) would
// multiply the bitrate. A request inside the window is kept and sent when the
// window ends; any number kept in one window make one.
class IdrThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto window = std::chrono::milliseconds(500);

  // A request at `now`: true when it is to be sent now, false when it is kept
  // for `due()`.
  [[nodiscard]] bool request(Clock::time_point now);
  // When the kept request is to be sent; absent when none is kept.
  std::optional<Clock::time_point> due() const;
  // True when a kept request is due at `now`: the caller sends it.
  [[nodiscard]] bool poll(Clock::time_point now);

 private:
  std::optional<Clock::time_point> lastSent_;
  bool kept_ = false;
};

}  // namespace qx::server
