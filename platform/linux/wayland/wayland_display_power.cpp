#include "platform/linux/wayland/wayland_display_power.h"

#include <string>

#include "common/log.h"
#include "platform/linux/wayland/portal_client.h"

namespace qx {

WaylandDisplayPowerService::WaylandDisplayPowerService(wayland::PortalClient& portal) : portal_(portal) {}

DisplayPowerService::Assertion WaylandDisplayPowerService::createKeepAwakeAssertion(std::string_view name) {
  std::lock_guard lock(mutex_);
  if (!portal_.inhibitIdle(std::string(name))) return Assertion{-1, 0};
  return Assertion{0, nextID_++};
}

std::int32_t WaylandDisplayPowerService::declareUserActivity(std::string_view, std::uint32_t&) {
  if (!toldNoWake_.exchange(true)) logErr("this Wayland session offers no way to wake the display");
  return -1;
}

bool WaylandDisplayPowerService::isDisplayAsleep(std::uint32_t) { return false; }

}  // namespace qx
