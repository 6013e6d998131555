#pragma once
// The two permissions on a Wayland desktop. Screen recording is the screen-cast grant the helper
// needs: a restore token stored by grantScreenCast (the helper never asks the user itself). Remote
// input is not available: XTEST through XWayland reaches no Wayland window.

#include <string>

#include "host/HostServices.h"

namespace qx::host {

class WaylandPermissionProbe final : public PermissionProbe {
 public:
  bool screenRecording() override;
  bool accessibility() override;
};

// Shows the desktop's screen-cast dialog through the portal (one session, for a monitor, the pointer
// hidden, the grant kept) and stores the restore token it returns where the helper reads it. Blocks
// until the person answers, with no time limit: call it off the main thread. Returns an empty text
// on success, else what went wrong.
std::string grantScreenCast();

}  // namespace qx::host
