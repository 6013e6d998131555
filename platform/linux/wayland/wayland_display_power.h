#pragma once
#include <atomic>
#include <mutex>

#include "platform/display_power.h"

namespace qx {

namespace wayland {
class PortalClient;
}

// Display power on a Wayland desktop.
// - Keep-awake: the portal's Inhibit (idle), held for as long as the portal client lives. Status 0,
//   or -1 when the portal refused or is not there.
// - User activity: a Wayland session offers a client no way to wake a display; the call says so once
//   in the log and answers -1.
// - Asleep: never known, so never reported.
// Callable from any thread; calls are serialised.
class WaylandDisplayPowerService final : public DisplayPowerService {
 public:
  // The portal client must outlive this object.
  explicit WaylandDisplayPowerService(wayland::PortalClient& portal);

  [[nodiscard]] Assertion createKeepAwakeAssertion(std::string_view name) override;
  std::int32_t declareUserActivity(std::string_view name, std::uint32_t& activityID) override;
  bool isDisplayAsleep(std::uint32_t displayID) override;

 private:
  wayland::PortalClient& portal_;
  std::mutex mutex_;
  std::uint32_t nextID_ = 1;  // guarded by mutex_
  std::atomic<bool> toldNoWake_{false};
};

}  // namespace qx
