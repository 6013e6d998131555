#pragma once

// A desktop without a system tray would leave a started host invisible: no
// menu, no window, no way to quit. A few seconds after start, when still no
// tray is there, the start decides what to show instead.

#include <chrono>

namespace qx::host {

// How long a start waits for a tray (a panel may come up after the host).
inline constexpr std::chrono::seconds noTrayGrace{3};

enum class NoTrayStep {
  none,          // a tray is there, or a first setup already shows the window
  notify,        // a start the user did not make: one notification, no window
  showSettings,  // the user started it: the settings window
};

// `unattended`: started by the login item or by the relaunch after an update.
NoTrayStep noTrayStep(bool trayAvailable, bool unattended, bool configured);

}  // namespace qx::host
