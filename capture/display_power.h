#pragma once

#include <cstdint>
#include <string_view>

#include "common/log.h"
#include "platform/dispatch.h"
#include "platform/display_power.h"

namespace qx {

// Keeps the display on for the whole process and wakes it when a capture
// starts or restarts. Holds the keep-awake and user-activity assertion ids;
// callers use it from one thread at a time (the start task, then the retry
// queue). `service`, `clock` and `log` must outlive it.
class DisplayPower {
 public:
  static constexpr std::string_view kName = "Quorvex remote session";

  DisplayPower(DisplayPowerService& service, Clock& clock, LogFn log);

  // Takes the keep-awake assertion; a refusal is reported once and otherwise
  // ignored. The assertion lasts until the process ends.
  void holdOn();

  // If the display sleeps: declares user activity, then polls every 50 ms
  // until it wakes or `timeoutSeconds` pass, and writes one line saying which.
  // Blocks the caller for up to the time-out. No line when it is awake.
  void wake(std::uint32_t displayID, std::string_view why, double timeoutSeconds);

  bool isAsleep(std::uint32_t displayID) { return service_.isDisplayAsleep(displayID); }
  // Asks for a sleeping display to come back; the status is not looked at
  // because a refused request shows up as a display that stays asleep.
  void declareActivity();

 private:
  DisplayPowerService& service_;
  Clock& clock_;
  LogFn log_;
  std::uint32_t keepOnID_ = 0;
  std::uint32_t activityID_ = 0;
};

}  // namespace qx
