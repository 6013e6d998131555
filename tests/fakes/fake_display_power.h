#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/display_power.h"

namespace qx::fake {

// Display power against a clock: each display is asleep during the intervals
// the test sets (host nanoseconds, [from, until)). Declaring user activity
// does not wake it by itself unless `wakeOnActivity` is set, in which case the
// display wakes `wakeDelay` after the first declaration. Thread-safe.
class FakeDisplayPower final : public DisplayPowerService {
 public:
  explicit FakeDisplayPower(const Clock& clock) : clock_(clock) {}

  // Asleep from now until now + duration (forever when duration is negative).
  void sleepFor(std::uint32_t displayID, std::chrono::nanoseconds duration) {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clock_.hostNanos();
    sleeps_.push_back(
        {displayID, now, duration.count() < 0 ? std::numeric_limits<std::int64_t>::max() : now + duration.count()});
  }
  void wakeNow(std::uint32_t displayID) {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clock_.hostNanos();
    for (auto& s : sleeps_)
      if (s.display == displayID && s.until > now) s.until = now;
  }
  // A display that sleeps until someone declares activity, then wakes after `delay`.
  void setWakeOnActivity(std::chrono::nanoseconds delay) {
    std::lock_guard lock(mutex_);
    wakeOnActivity_ = true;
    wakeDelay_ = delay.count();
  }
  void setAssertionStatus(std::int32_t status) { assertionStatus_.store(status); }

  Assertion createKeepAwakeAssertion(std::string_view name) override {
    std::lock_guard lock(mutex_);
    assertionNames_.emplace_back(name);
    return {assertionStatus_.load(), assertionStatus_.load() == 0 ? 77u : 0u};
  }

  std::int32_t declareUserActivity(std::string_view name, std::uint32_t& activityID) override {
    std::lock_guard lock(mutex_);
    activityNames_.emplace_back(name);
    activityIDsSeen_.push_back(activityID);
    if (activityID == 0) activityID = 99;
    if (wakeOnActivity_) {
      const std::int64_t now = clock_.hostNanos();
      for (auto& s : sleeps_)
        if (s.from <= now && s.until > now + wakeDelay_) s.until = now + wakeDelay_;
    }
    return 0;
  }

  bool isDisplayAsleep(std::uint32_t displayID) override {
    std::lock_guard lock(mutex_);
    ++queries_;
    const std::int64_t now = clock_.hostNanos();
    for (const auto& s : sleeps_)
      if (s.display == displayID && s.from <= now && now < s.until) return true;
    return false;
  }

  std::vector<std::string> assertionNames() const {
    std::lock_guard lock(mutex_);
    return assertionNames_;
  }
  std::vector<std::string> activityNames() const {
    std::lock_guard lock(mutex_);
    return activityNames_;
  }
  std::vector<std::uint32_t> activityIDsSeen() const {
    std::lock_guard lock(mutex_);
    return activityIDsSeen_;
  }
  int activityCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(activityNames_.size());
  }
  int queryCount() const {
    std::lock_guard lock(mutex_);
    return queries_;
  }

 private:
  struct Sleep {
    std::uint32_t display;
    std::int64_t from;
    std::int64_t until;
  };

  const Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Sleep> sleeps_;
  bool wakeOnActivity_ = false;
  std::int64_t wakeDelay_ = 0;
  std::atomic<std::int32_t> assertionStatus_{0};
  std::vector<std::string> assertionNames_;
  std::vector<std::string> activityNames_;
  std::vector<std::uint32_t> activityIDsSeen_;
  int queries_ = 0;
};

}  // namespace qx::fake
