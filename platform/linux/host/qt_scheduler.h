#pragma once

// The host's main-loop services on Qt: the steady clock and delayed or
// repeating work on QTimer. Use on the thread that runs the Qt event loop.

#include "host/HostServices.h"

namespace qx::host {

class SteadyTimeSource final : public TimeSource {
 public:
  TimePoint now() const override { return Clock::now(); }
};

class QtScheduler final : public Scheduler {
 public:
  std::shared_ptr<ScheduledWork> after(std::chrono::milliseconds delay, std::function<void()> work) override;
  std::shared_ptr<ScheduledWork> every(std::chrono::milliseconds interval, std::function<void()> work) override;
  void post(std::function<void()> work) override;
};

}  // namespace qx::host
