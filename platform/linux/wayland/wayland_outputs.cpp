#include "platform/linux/wayland/wayland_outputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <memory>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace qx::wayland {

std::uint32_t outputId(std::string_view name) {
  // FNV-1a: cheap, stable across runs and builds.
  std::uint32_t h = 2166136261u;
  for (const unsigned char c : name) h = (h ^ c) * 16777619u;
  return h == 0 ? 1 : h;
}

void sortOutputs(std::vector<Output>& outputs) {
  std::stable_sort(outputs.begin(), outputs.end(), [](const Output& a, const Output& b) {
    if (a.x != b.x) return a.x < b.x;
    return a.y < b.y;
  });
}

std::optional<Output> outputAt(const std::vector<Output>& outputs, std::int32_t x, std::int32_t y, std::int32_t width,
                               std::int32_t height) {
  std::optional<Output> atPosition;
  for (const Output& o : outputs) {
    if (o.x != x || o.y != y) continue;
    if (o.logicalWidth == width && o.logicalHeight == height) return o;
    if (!atPosition) atPosition = o;
  }
  return atPosition;
}

namespace {

struct Entry {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  Output value;
};

struct Registry {
  wl_registry* registry = nullptr;
  zxdg_output_manager_v1* manager = nullptr;
  std::vector<std::unique_ptr<Entry>> entries;
};

void onGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                const char*, const char*, std::int32_t) {
  auto* e = static_cast<Entry*>(data);
  // Only a fallback: xdg-output gives the logical position when the compositor has it.
  if (!e->xdg) e->value.x = x, e->value.y = y;
}
void onMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
  auto* e = static_cast<Entry*>(data);
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  e->value.pixelWidth = width;
  e->value.pixelHeight = height;
}
void onDone(void*, wl_output*) {}
void onScale(void*, wl_output*, std::int32_t) {}
const wl_output_listener kOutputListener = [] {
  wl_output_listener l{};  // version 2: later events are never sent
  l.geometry = onGeometry;
  l.mode = onMode;
  l.done = onDone;
  l.scale = onScale;
  return l;
}();

void onLogicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto* e = static_cast<Entry*>(data);
  e->value.x = x, e->value.y = y;
}
void onLogicalSize(void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
  auto* e = static_cast<Entry*>(data);
  e->value.logicalWidth = w, e->value.logicalHeight = h;
}
void onXdgDone(void*, zxdg_output_v1*) {}
void onName(void* data, zxdg_output_v1*, const char* name) { static_cast<Entry*>(data)->value.name = name; }
void onDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgListener = {onLogicalPosition, onLogicalSize, onXdgDone, onName, onDescription};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  auto* r = static_cast<Registry*>(data);
  const std::string_view iface(interface);
  if (iface == wl_output_interface.name) {
    auto e = std::make_unique<Entry>();
    e->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 2u)));
    wl_output_add_listener(e->output, &kOutputListener, e.get());
    r->entries.push_back(std::move(e));
  } else if (iface == zxdg_output_manager_v1_interface.name && version >= 2) {
    r->manager = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
  }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::optional<std::vector<Output>> listOutputs(const std::string& display) {
  wl_display* connection = wl_display_connect(display.empty() ? nullptr : display.c_str());
  if (!connection) return std::nullopt;
  Registry r;
  r.registry = wl_display_get_registry(connection);
  wl_registry_add_listener(r.registry, &kRegistryListener, &r);
  bool ok = wl_display_roundtrip(connection) >= 0;
  if (ok && r.manager) {
    for (auto& e : r.entries) {
      e->xdg = zxdg_output_manager_v1_get_xdg_output(r.manager, e->output);
      zxdg_output_v1_add_listener(e->xdg, &kXdgListener, e.get());
    }
  }
  ok = ok && wl_display_roundtrip(connection) >= 0;
  std::vector<Output> outputs;
  for (auto& e : r.entries) {
    Output o = e->value;
    if (o.logicalWidth <= 0 || o.logicalHeight <= 0) o.logicalWidth = o.pixelWidth, o.logicalHeight = o.pixelHeight;
    if (o.name.empty()) o.name = "output-" + std::to_string(outputs.size() + 1);
    outputs.push_back(std::move(o));
    if (e->xdg) zxdg_output_v1_destroy(e->xdg);
    wl_output_destroy(e->output);
  }
  if (r.manager) zxdg_output_manager_v1_destroy(r.manager);
  wl_registry_destroy(r.registry);
  wl_display_disconnect(connection);
  if (!ok) return std::nullopt;
  sortOutputs(outputs);
  return outputs;
}

}  // namespace qx::wayland
