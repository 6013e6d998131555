#include "platform/linux/wayland/wayland_display_service.h"

#include <cstdlib>

#include "platform/linux/wayland/screencast_token.h"
#include "platform/linux/wayland/wayland_outputs.h"

namespace qx {

namespace {

std::optional<wayland::Output> find(const std::string& display, DisplayID id) {
  const auto outputs = wayland::listOutputs(display);
  if (!outputs) return std::nullopt;
  for (const auto& o : *outputs)
    if (wayland::outputId(o.name) == id) return o;
  return std::nullopt;
}

}  // namespace

WaylandDisplayService::WaylandDisplayService(std::string display) : display_(std::move(display)) {}

std::optional<std::uint32_t> WaylandDisplayService::activeDisplayCount() {
  const auto outputs = wayland::listOutputs(display_);
  if (!outputs) return std::nullopt;
  return static_cast<std::uint32_t>(outputs->size());
}

std::optional<std::vector<DisplayID>> WaylandDisplayService::activeDisplayList(std::uint32_t maxCount) {
  const auto outputs = wayland::listOutputs(display_);
  if (!outputs) return std::nullopt;
  std::vector<DisplayID> ids;
  for (const auto& o : *outputs) {
    if (ids.size() >= maxCount) break;
    ids.push_back(wayland::outputId(o.name));
  }
  return ids;
}

DisplayID WaylandDisplayService::mainDisplayID() {
  const auto outputs = wayland::listOutputs(display_);
  if (!outputs) return 0;
  for (const auto& o : *outputs)
    if (o.x == 0 && o.y == 0) return wayland::outputId(o.name);
  return 0;
}

std::int64_t WaylandDisplayService::pixelsWide(DisplayID id) {
  const auto o = find(display_, id);
  return o ? o->logicalWidth : 0;
}

std::int64_t WaylandDisplayService::pixelsHigh(DisplayID id) {
  const auto o = find(display_, id);
  return o ? o->logicalHeight : 0;
}

std::optional<DisplayModeSize> WaylandDisplayService::currentModePixelSize(DisplayID id) {
  const auto o = find(display_, id);
  if (!o || o->pixelWidth <= 0 || o->pixelHeight <= 0) return std::nullopt;
  return DisplayModeSize{o->pixelWidth, o->pixelHeight};
}

std::optional<std::string> WaylandDisplayService::unreachableReason() {
  if (wayland::listOutputs(display_)) return std::nullopt;
  const char* env = std::getenv("WAYLAND_DISPLAY");
  const std::string name = !display_.empty() ? display_ : (env && *env ? env : "wayland-0");
  return "cannot reach Wayland display \"" + name + "\"";
}

bool WaylandDisplayService::preflightCaptureAccess() { return wayland::loadScreencastToken().has_value(); }

bool WaylandDisplayService::requestCaptureAccess() { return preflightCaptureAccess(); }

}  // namespace qx
