#pragma once

// Calendar time from the system clock.

#include "host/HostServices.h"

namespace qx::host {

class SystemWallClock final : public WallClock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace qx::host
