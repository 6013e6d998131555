#include "platform/linux/host/wayland_permissions.h"

#include <unistd.h>

#include <variant>

#include "platform/linux/wayland/portal_client.h"
#include "platform/linux/wayland/screencast_token.h"

namespace qx::host {

bool WaylandPermissionProbe::screenRecording() { return wayland::loadScreencastToken().has_value(); }

bool WaylandPermissionProbe::accessibility() { return false; }

std::string grantScreenCast() {
  wayland::PortalClient portal;
  // No stored token: every request shows the dialog again, so the person can pick another screen.
  auto result = portal.startScreenCast(std::nullopt, std::nullopt, nullptr);
  if (auto* error = std::get_if<wayland::PortalClient::Error>(&result)) return error->message;
  auto& grant = std::get<wayland::PortalClient::Grant>(result);
  ::close(grant.pipewireFd);
  portal.closeScreenCast();
  if (grant.restoreToken.empty()) return "the desktop granted the screen cast but gave no token to keep it";
  if (!wayland::storeScreencastToken(grant.restoreToken)) return "the screen-cast permission could not be stored";
  return {};
}

}  // namespace qx::host
