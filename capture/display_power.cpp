#include "capture/display_power.h"

#include <string>

namespace qx {

DisplayPower::DisplayPower(DisplayPowerService& service, Clock& clock, LogFn log)
    : service_(service), clock_(clock), log_(std::move(log)) {}

void DisplayPower::holdOn() {
  const auto assertion = service_.createKeepAwakeAssertion(kName);
  keepOnID_ = assertion.id;
  if (assertion.status != 0) log_("display keep-on assertion failed: " + std::to_string(assertion.status));
}

void DisplayPower::declareActivity() { (void)service_.declareUserActivity(kName, activityID_); }

void DisplayPower::wake(std::uint32_t displayID, std::string_view why, double timeoutSeconds) {
  if (!service_.isDisplayAsleep(displayID)) return;
  // Integer nanoseconds keep the reported milliseconds exact.
  const std::int64_t start = clock_.hostNanos();
  const auto timeout = static_cast<std::int64_t>(timeoutSeconds * 1e9);
  declareActivity();
  while (service_.isDisplayAsleep(displayID)) {
    if (clock_.hostNanos() - start >= timeout) break;
    clock_.sleepFor(std::chrono::milliseconds(50));
  }
  const std::int64_t elapsedMs = (clock_.hostNanos() - start) / 1'000'000;
  const bool stillAsleep = service_.isDisplayAsleep(displayID);
  std::string line = "display asleep (" + std::string(why) + "); ";
  line += stillAsleep ? "still off after " : "woke it in ";
  line += std::to_string(elapsedMs) + " ms";
  log_(line);
}

}  // namespace qx
