#pragma once

#include <cstdint>
#include <string_view>

namespace qx {

// Display power management: keep the display on, ask it to wake, ask whether
// it sleeps. Statuses are 0 on success, otherwise the platform's error code.
// Implementations are callable from any thread, one call at a time per
// caller (the logic never calls concurrently from two threads).
class DisplayPowerService {
 public:
  struct Assertion {
    std::int32_t status = 0;
    std::uint32_t id = 0;  // meaningful only when status is 0
  };

  virtual ~DisplayPowerService() = default;

  // Takes a named assertion that keeps the display from idling to sleep. It
  // lasts until the process ends.
  [[nodiscard]] virtual Assertion createKeepAwakeAssertion(std::string_view name) = 0;

  // Declares local user activity under `name`, which wakes a sleeping display.
  // `activityID` is in/out: 0 the first time, then the id the call returned,
  // so repeated declarations reuse one assertion.
  virtual std::int32_t declareUserActivity(std::string_view name, std::uint32_t& activityID) = 0;

  // True when the display with this id is asleep (blanked or powered down).
  virtual bool isDisplayAsleep(std::uint32_t displayID) = 0;
};

}  // namespace qx
