#include "host/NoTray.h"

namespace qx::host {

NoTrayStep noTrayStep(bool trayAvailable, bool unattended, bool configured) {
  // Without a setup the settings window opened at start already.
  if (trayAvailable || !configured) return NoTrayStep::none;
  return unattended ? NoTrayStep::notify : NoTrayStep::showSettings;
}

}  // namespace qx::host
