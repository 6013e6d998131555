#pragma once
#include <string>

#include "platform/display_service.h"

namespace qx {

// Displays of a Wayland desktop: the compositor's outputs, asked again on every call (ids from the
// output names, screen order left to right then top to bottom, the main display the one at (0, 0)).
// Capture access is the screen-cast permission the host stored (a restore token); this never asks
// the user, so requesting access only reports it.
class WaylandDisplayService final : public DisplayService {
 public:
  // `display` empty means $WAYLAND_DISPLAY.
  explicit WaylandDisplayService(std::string display = {});

  std::optional<std::uint32_t> activeDisplayCount() override;
  std::optional<std::vector<DisplayID>> activeDisplayList(std::uint32_t maxCount) override;
  DisplayID mainDisplayID() override;
  std::int64_t pixelsWide(DisplayID id) override;
  std::int64_t pixelsHigh(DisplayID id) override;
  std::optional<DisplayModeSize> currentModePixelSize(DisplayID id) override;
  [[nodiscard]] std::optional<std::string> unreachableReason() override;
  [[nodiscard]] bool preflightCaptureAccess() override;
  bool requestCaptureAccess() override;

 private:
  std::string display_;
};

}  // namespace qx
