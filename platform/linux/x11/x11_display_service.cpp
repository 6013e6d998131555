#include "platform/linux/x11/x11_display_service.h"

#include <algorithm>
#include <limits>

#include "platform/linux/x11/display_probe.h"
#include "platform/linux/x11/randr_monitors.h"
#include "platform/linux/x11/xcb_handles.h"

namespace qx {

struct X11DisplayService::Impl {
  explicit Impl(const std::string& name) : displayName(name), conn(name) {}

  std::optional<x11::Monitor> find(DisplayID id, bool withModes) const {
    auto monitors = x11::queryMonitors(conn, withModes);
    if (!monitors) return std::nullopt;
    auto it = std::find_if(monitors->begin(), monitors->end(), [id](const x11::Monitor& m) { return m.id == id; });
    if (it == monitors->end()) return std::nullopt;
    return *it;
  }

  const std::string displayName;
  x11::XcbConnection conn;
};

X11DisplayService::X11DisplayService(const std::string& displayName) : impl_(std::make_unique<Impl>(displayName)) {}
X11DisplayService::~X11DisplayService() = default;

std::optional<std::uint32_t> X11DisplayService::activeDisplayCount() {
  auto monitors = x11::queryMonitors(impl_->conn, false);
  if (!monitors) return std::nullopt;
  return static_cast<std::uint32_t>(std::min<std::size_t>(monitors->size(), std::numeric_limits<std::uint32_t>::max()));
}

std::optional<std::vector<DisplayID>> X11DisplayService::activeDisplayList(std::uint32_t maxCount) {
  auto monitors = x11::queryMonitors(impl_->conn, false);
  if (!monitors) return std::nullopt;
  std::vector<DisplayID> ids;
  for (const auto& m : *monitors) {
    if (ids.size() >= maxCount) break;
    ids.push_back(m.id);
  }
  return ids;
}

DisplayID X11DisplayService::mainDisplayID() {
  auto monitors = x11::queryMonitors(impl_->conn, false);
  if (!monitors || monitors->empty()) return 0;
  auto primary = std::find_if(monitors->begin(), monitors->end(), [](const x11::Monitor& m) { return m.primary; });
  return primary != monitors->end() ? primary->id : monitors->front().id;
}

std::int64_t X11DisplayService::pixelsWide(DisplayID id) {
  auto m = impl_->find(id, false);
  return m ? m->width : 0;
}

std::int64_t X11DisplayService::pixelsHigh(DisplayID id) {
  auto m = impl_->find(id, false);
  return m ? m->height : 0;
}

std::optional<DisplayModeSize> X11DisplayService::currentModePixelSize(DisplayID id) {
  auto m = impl_->find(id, true);
  if (!m) return std::nullopt;
  return m->mode;
}

std::optional<std::string> X11DisplayService::unreachableReason() {
  if (impl_->conn.ok() || x11::displayListens(impl_->displayName)) return std::nullopt;
  const std::string name = x11::displayInUse(impl_->displayName);
  if (name.empty()) return "no X display: DISPLAY is not set";
  return "cannot reach X display \"" + name + "\": no X server listens there";
}

bool X11DisplayService::preflightCaptureAccess() { return impl_->conn.ok(); }

bool X11DisplayService::requestCaptureAccess() { return impl_->conn.ok(); }

}  // namespace qx
