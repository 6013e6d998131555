#include "platform/linux/x11/x11_capture_service.h"

#include <utility>

#include "platform/linux/x11/randr_monitors.h"
#include "platform/linux/x11/x11_capture_errors.h"
#include "platform/linux/x11/x11_capture_stream.h"
#include "platform/linux/x11/xcb_handles.h"

namespace qx {

X11CaptureService::X11CaptureService(std::string displayName, AudioSource* audio)
    : displayName_(std::move(displayName)), audio_(audio) {}

X11CaptureService::~X11CaptureService() = default;

std::variant<ShareableContent, PlatformError> X11CaptureService::shareableContent() {
  std::lock_guard lock(mutex_);
  if (!connection_ || !connection_->ok()) connection_ = std::make_unique<x11::XcbConnection>(displayName_);
  if (!connection_->ok()) return x11::captureError(x11::kConnectFailed, "cannot connect to the X server");
  const auto monitors = x11::queryMonitors(*connection_, false);
  if (!monitors) return x11::captureError(x11::kExtensionMissing, "the X server does not list RandR monitors");
  ShareableContent content;
  for (const auto& m : *monitors) content.displays.push_back(ShareableDisplay{m.id, m.width, m.height});
  return content;
}

std::shared_ptr<CaptureStream> X11CaptureService::createStream(const ContentFilter& filter,
                                                               const StreamConfiguration& configuration,
                                                               std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<x11::X11CaptureStream>(displayName_, filter, configuration, std::move(delegate), audio_);
}

}  // namespace qx
