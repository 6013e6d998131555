#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/media.h"

namespace qx::x11 {

// When the next grab may happen, so that grabs come at most once per
// interval on average without locking onto a late phase. A plain "interval
// since the last grab" rule, fed content that changes at exactly the frame
// rate, keeps whatever lag it once had (half an interval on average, for
// good). Here a grab may come up to `slack` early against the last one, and
// the average is held by a theoretical schedule that allows one frame of
// credit, so a late phase is caught up within a few frames.
// The host media clock now (CLOCK_MONOTONIC nanoseconds), as frames are stamped.
inline std::int64_t hostNanosNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A stream's minimum frame interval as a duration: zero for none (invalid or not positive), at most an hour.
inline std::chrono::nanoseconds frameInterval(const MediaTime& t) {
  if (!t.isNumeric() || t.value <= 0) return std::chrono::nanoseconds(0);
  const double ns = static_cast<double>(t.value) * 1e9 / static_cast<double>(t.timescale);
  if (!(ns < 3.6e12)) return std::chrono::hours(1);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FramePacer(std::chrono::nanoseconds interval)
      : interval_(interval), slack_(std::min<std::chrono::nanoseconds>(interval / 8, std::chrono::milliseconds(4))) {}

  // The earliest time of the next grab; any time before the first.
  Clock::time_point earliest() const {
    if (!last_) return Clock::time_point::min();
    return std::max(*last_ + interval_ - slack_, scheduled_ - interval_);
  }

  // When a frame that came at `now` goes out, for a source that paces its frames itself (a compositor's
  // buffers): by earliest() if that is within the slack; otherwise the source's next frame is due
  // before then and goes out in its place, this one only if none comes. Holding it instead sets every
  // later frame as far behind, for good once the credit is spent.
  Clock::time_point deliveryFor(Clock::time_point now) const {
    const auto at = earliest();
    if (at <= now) return now;
    return at - now <= slack_ ? at : now + interval_ + slack_;
  }

  void grabbed(Clock::time_point at) {
    scheduled_ = std::max(last_ ? scheduled_ : at, at) + interval_;
    last_ = at;
  }

 private:
  std::chrono::nanoseconds interval_;
  std::chrono::nanoseconds slack_;
  std::optional<Clock::time_point> last_;
  Clock::time_point scheduled_{};  // where the schedule stands: one interval per grab, never behind the clock
};

// One update on screen is often several drawing requests, and its damage
// several events that do not arrive together. A grab at the first event sees
// half of the update and leaves the rest a whole frame interval behind, so a
// grab waits until damage has been quiet for a moment, though never long.
constexpr std::chrono::microseconds kDamageQuiet{500};
constexpr std::chrono::microseconds kDamageSettleLimit{2000};

inline FramePacer::Clock::time_point damageSettledAt(FramePacer::Clock::time_point firstDamage,
                                                     FramePacer::Clock::time_point lastDamage) {
  return std::min(lastDamage + kDamageQuiet, firstDamage + kDamageSettleLimit);
}

}  // namespace qx::x11
