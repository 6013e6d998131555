#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/display_power.h"

namespace qx {

namespace x11 {
class XcbConnection;
}

// Display power on X11, with one X connection held for the object's life.
// - Keep-awake: the MIT-SCREEN-SAVER extension's suspend, which lasts while
//   this connection is open. Status 0, or the X error code (1, BadRequest,
//   when the server lacks the extension; -1 when there is no connection).
// - User activity: a screen-saver reset, plus DPMS force-on where the server
//   has DPMS enabled.
// - Asleep: the screen saver is on, or DPMS is enabled with a power level
//   other than on. X blanks all monitors of a screen together, so the display
//   id does not matter.
// Callable from any thread; calls are serialised.
class X11DisplayPowerService final : public DisplayPowerService {
 public:
  // `displayName` empty means the DISPLAY environment variable.
  explicit X11DisplayPowerService(const std::string& displayName = {});
  ~X11DisplayPowerService() override;
  X11DisplayPowerService(const X11DisplayPowerService&) = delete;
  X11DisplayPowerService& operator=(const X11DisplayPowerService&) = delete;

  [[nodiscard]] Assertion createKeepAwakeAssertion(std::string_view name) override;
  std::int32_t declareUserActivity(std::string_view name, std::uint32_t& activityID) override;
  bool isDisplayAsleep(std::uint32_t displayID) override;

 private:
  std::mutex mutex_;
  std::unique_ptr<x11::XcbConnection> connection_;  // guarded by mutex_
  std::uint32_t nextID_ = 1;                        // guarded by mutex_
};

}  // namespace qx
