#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/audio_source.h"
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
// delegate. The pointer is never drawn. A start fails for a configuration it
// cannot honour: another pixel format or matrix, the pointer, audio without
// an audio source. Audio outputs are accepted only when the configuration
// captures audio: while the stream runs it records from the audio source and
// delivers its buffers, in the source's format, on the audio output's queue;
// audio trouble never stops the stream.
class X11CaptureService final : public CaptureService {
 public:
  // `displayName` empty means the DISPLAY environment variable. `audio` may
  // be null (no stream can capture audio then); it must outlive the service.
  explicit X11CaptureService(std::string displayName = {}, AudioSource* audio = nullptr);
  ~X11CaptureService() override;
  X11CaptureService(const X11CaptureService&) = delete;
  X11CaptureService& operator=(const X11CaptureService&) = delete;

  [[nodiscard]] std::variant<ShareableContent, PlatformError> shareableContent() override;
  [[nodiscard]] std::shared_ptr<CaptureStream> createStream(const ContentFilter& filter,
                                                            const StreamConfiguration& configuration,
                                                            std::weak_ptr<StreamDelegate> delegate) override;

 private:
  const std::string displayName_;
  AudioSource* const audio_;
  std::mutex mutex_;
  std::unique_ptr<x11::XcbConnection> connection_;  // guarded by mutex_; reopened when broken
};

// Domain of the errors the X11 capture backend reports.
inline constexpr const char* kX11CaptureErrorDomain = "X11Capture";

}  // namespace qx
