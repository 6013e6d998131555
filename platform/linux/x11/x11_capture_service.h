#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/capture_service.h"

namespace qx {

namespace x11 {
class XcbConnection;
}

// Screen capture on X11. Displays are the RandR 1.5 monitors (ids are the
// monitor name atoms, as X11DisplayService reports them; points equal pixels).
//
// Each started stream runs one thread ("qv-capture") with its own X
// connection. On start it finds its display again by id and captures that
// monitor's current rectangle with MIT-SHM, converted to NV12 BT.709 video
// range and scaled to the configured size. DAMAGE decides when to grab (only
// damage inside the monitor's rectangle counts): the
// first frame after a start is grabbed at once; after that a frame is grabbed
// only when the screen changed, at most once per minimumFrameInterval. An
// unchanged screen delivers nothing (no idle frames). Frames come from a pool
// of queueDepth buffers; while all are held downstream, grabs are skipped.
// A RandR screen change or a broken X connection stops the stream through the
// delegate. The pointer is never drawn. Audio outputs are accepted only when
// the configuration captures audio: the stream then records the default
// sink's monitor on PulseAudio (its own "qv-pulse" thread) and delivers its
// buffers, in the source's format, on the audio output's queue; a sound server
// that cannot be reached fails the start, one that goes away stops the stream.
class X11CaptureService final : public CaptureService {
 public:
  // `displayName` empty means the DISPLAY environment variable.
  explicit X11CaptureService(std::string displayName = {});
  ~X11CaptureService() override;
  X11CaptureService(const X11CaptureService&) = delete;
  X11CaptureService& operator=(const X11CaptureService&) = delete;

  [[nodiscard]] std::variant<ShareableContent, PlatformError> shareableContent() override;
  [[nodiscard]] std::shared_ptr<CaptureStream> createStream(const ContentFilter& filter,
                                                            const StreamConfiguration& configuration,
                                                            std::weak_ptr<StreamDelegate> delegate) override;

 private:
  std::string displayName_;
  std::mutex mutex_;
  std::unique_ptr<x11::XcbConnection> connection_;  // guarded by mutex_; reopened when broken
};

// Domain of the errors the X11 capture backend reports.
inline constexpr const char* kX11CaptureErrorDomain = "X11Capture";

}  // namespace qx
