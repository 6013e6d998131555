#pragma once

#include <memory>
#include <string>

#include "platform/display_service.h"

namespace qx {

// Displays on X11: the RandR 1.5 monitors of the screen, in screen order; the
// first monitor flagged primary is the main display (else the first in screen
// order); an id is the monitor's name atom; points equal pixels. Capture access
// is granted when the X server accepted our connection; a request cannot
// change that, so it only reports the current state. A display where nothing
// listens is unreachable, told apart from a server that refused us by
// connecting to its socket.
//
// Every query asks the server afresh, so monitors added or removed show up at
// once. Callable from any thread (xcb serialises the connection).
class X11DisplayService final : public DisplayService {
 public:
  // Connects at once. `displayName` empty means the DISPLAY environment
  // variable. A failed connection is not an error here: every query then
  // fails and preflightCaptureAccess answers false.
  explicit X11DisplayService(const std::string& displayName = {});
  ~X11DisplayService() override;
  X11DisplayService(const X11DisplayService&) = delete;
  X11DisplayService& operator=(const X11DisplayService&) = delete;

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
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx
