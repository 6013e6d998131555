#pragma once

// Alerts as modal QMessageBoxes brought in front of other windows, over the
// host's shown window when there is one: the application icon, the warning
// icon when the alert warns, the title as the box's main text, the text below
// it, the buttons in the given order with the first as default (Qt's roles,
// so the desktop's order applies), an optional checkbox, and a width that
// keeps the window title whole. `show` runs a nested event loop until the user
// answers. Main thread only.

#include "host/HostServices.h"

namespace qx::host {

class MessageBoxAlerts final : public Alerts {
 public:
  Answer show(const Alert& alert) override;
};

}  // namespace qx::host
