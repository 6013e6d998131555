#pragma once

// Alerts as modal QMessageBoxes brought in front of other windows: the title
// as the box's main text, the text below it, the buttons in the given order
// with the first as default, and an optional checkbox. `show` runs a nested
// event loop until the user answers. Main thread only.

#include "host/HostServices.h"

namespace qx::host {

class MessageBoxAlerts final : public Alerts {
 public:
  Answer show(const Alert& alert) override;
};

}  // namespace qx::host
