#pragma once
#include <memory>
#include <string>

#include "platform/audio_source.h"
#include "platform/capture_service.h"

namespace qx {

namespace wayland {
class PortalClient;
}

// Screen capture on a Wayland desktop through xdg-desktop-portal's screen cast and PipeWire.
// Displays are the compositor's outputs (ids from their names, sizes in logical points).
//
// A stream starts a portal session with the restore token stored by the host's "Allow…"
// (wayland/screencast_token.h) and never asks the user: without a stored token, or when the desktop
// does not honour it within 5 s (the request is then cancelled, which takes its dialog down, and the
// stale token is removed), the start fails in kCaptureAccessErrorDomain. The token the portal returns
// replaces the stored one. The desktop picks the output; when it is not the display asked for, one
// line says so and the granted output is captured.
//
// Each started stream runs one PipeWire thread ("qv-pipewire") that receives shared-memory BGRx/BGRA
// buffers (DMA-BUF only is refused with a clear error), copies what changed (the buffers' damage) into
// a mirror of the output and converts it into NV12 pool buffers, paced to minimumFrameInterval. The
// compositor sends buffers only when the screen changes; an unchanged screen delivers nothing.
// A PipeWire error, a vanished node or a changed output size stops the stream through the delegate
// (re-established by the engine); a session the desktop closes (the user stopped sharing) stops it
// in kCaptureAccessErrorDomain. The pointer is never drawn. Audio comes from the injected source, as
// on X11, and its trouble never stops the stream.
class WaylandCaptureService final : public CaptureService {
 public:
  // `display` empty means $WAYLAND_DISPLAY. The portal client and the audio source (may be null: no
  // audio) must outlive the service.
  WaylandCaptureService(wayland::PortalClient& portal, std::string display = {}, AudioSource* audio = nullptr);
  ~WaylandCaptureService() override;
  WaylandCaptureService(const WaylandCaptureService&) = delete;
  WaylandCaptureService& operator=(const WaylandCaptureService&) = delete;

  [[nodiscard]] std::variant<ShareableContent, PlatformError> shareableContent() override;
  [[nodiscard]] std::shared_ptr<CaptureStream> createStream(const ContentFilter& filter,
                                                            const StreamConfiguration& configuration,
                                                            std::weak_ptr<StreamDelegate> delegate) override;

 private:
  wayland::PortalClient& portal_;
  std::string display_;
  AudioSource* audio_;
};

inline constexpr const char* kWaylandCaptureErrorDomain = "WaylandCapture";

}  // namespace qx
