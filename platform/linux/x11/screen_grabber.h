#pragma once

// Include only from .cpp files of this folder: it pulls in xcb.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include "platform/capture_service.h"
#include "platform/linux/x11/damage_region.h"
#include "platform/linux/x11/frame_pool.h"
#include "platform/linux/x11/nv12_converter.h"
#include "platform/linux/x11/randr_monitors.h"
#include "platform/linux/x11/shm_segment.h"
#include "platform/linux/x11/xcb_handles.h"

namespace qx::x11 {

// Everything one running capture holds on the X server: its own connection,
// DAMAGE on the root window, a shared-memory mirror of the monitor, a scratch
// segment for partial grabs, and the pool of converted frames. It turns damage
// into pool buffers refreshed only where something changed. One thread at a
// time (the stream's); owns no thread.
class ScreenGrabber {
 public:
  // Connects, finds `displayID` among the RandR monitors and sets everything
  // up for frames of `config`'s size; the reason the stream cannot start
  // otherwise.
  static std::variant<std::unique_ptr<ScreenGrabber>, PlatformError> open(const std::string& displayName,
                                                                          DisplayID displayID,
                                                                          const StreamConfiguration& config);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // The connection's descriptor, to wait for events on.
  int fd() const;
  void flush();

  // Reads queued events, setting `damaged` when the monitor changed; the
  // reason to stop, if any (a RandR screen change, a broken connection).
  std::optional<PlatformError> drainEvents(bool& damaged);

  // A free pool buffer, or null while every one is held downstream.
  PixelBufferRef acquireBuffer() { return pool_->acquire(); }

  // Brings the mirror up to date and refreshes `out` from it, in both cases
  // only where something changed; the reason to stop on failure.
  std::optional<PlatformError> grab(PixelBuffer& out);

 private:
  explicit ScreenGrabber(const std::string& displayName) : conn_(displayName) {}

  DamageRegion& staleRegionOf(const PixelBuffer& buffer);
  std::optional<PlatformError> updateMirror();

  XcbConnection conn_;
  Monitor monitor_;
  int dstWidth_ = 0;
  int dstHeight_ = 0;
  std::unique_ptr<ShmSegment> mirror_;   // the monitor as last grabbed
  std::unique_ptr<ShmSegment> scratch_;  // partial grabs on their way into the mirror
  DamageRegion sinceGrab_{0, 0};         // changed on screen since the mirror was updated
  // What changed since each pool buffer was last filled.
  std::vector<std::pair<const PixelBuffer*, DamageRegion>> stale_;
  xcb_damage_damage_t damage_ = 0;
  int damageEvent_ = -1;
  int randrEvent_ = -1;
  std::unique_ptr<Nv12Converter> converter_;
  std::unique_ptr<FramePool> pool_;
};

}  // namespace qx::x11
