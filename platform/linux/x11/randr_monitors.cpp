#include "platform/linux/x11/randr_monitors.h"

#include <algorithm>

#include <xcb/randr.h>

#include "platform/linux/x11/xcb_handles.h"

namespace qx::x11 {

void sortScreenOrder(std::vector<Monitor>& monitors) {
  std::stable_sort(monitors.begin(), monitors.end(), [](const Monitor& a, const Monitor& b) {
    if (a.x != b.x) return a.x < b.x;
    return a.y < b.y;
  });
}

namespace {

bool randrHasMonitors(xcb_connection_t* c) {
  // The version we announce also tells the server which requests we will use.
  XcbReply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version) return false;
  return version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5);
}

std::optional<DisplayModeSize> modeOf(xcb_connection_t* c, const xcb_randr_get_screen_resources_current_reply_t* res,
                                      xcb_randr_output_t output, const Monitor& m) {
  XcbReply<xcb_randr_get_output_info_reply_t> info(
      xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, res->config_timestamp), nullptr));
  if (!info || info->crtc == XCB_NONE) return std::nullopt;
  XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(
      xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, info->crtc, res->config_timestamp), nullptr));
  if (!crtc || crtc->mode == XCB_NONE) return std::nullopt;
  if (crtc->x != m.x || crtc->y != m.y || crtc->width != m.width || crtc->height != m.height) return std::nullopt;
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res);
  const int count = xcb_randr_get_screen_resources_current_modes_length(res);
  for (int i = 0; i < count; ++i) {
    if (modes[i].id == crtc->mode) return DisplayModeSize{modes[i].width, modes[i].height};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<Monitor>> queryMonitors(const XcbConnection& conn, bool withModes) {
  if (!conn.ok()) return std::nullopt;
  xcb_connection_t* c = conn.get();
  const xcb_window_t root = conn.screen()->root;
  if (!randrHasMonitors(c)) return std::nullopt;

  XcbReply<xcb_randr_get_monitors_reply_t> reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
  if (!reply) return std::nullopt;

  XcbReply<xcb_randr_get_screen_resources_current_reply_t> resources;
  if (withModes) {
    resources.reset(
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  }

  std::vector<Monitor> monitors;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* info = it.data;
    Monitor m;
    m.id = info->name;
    m.x = info->x;
    m.y = info->y;
    m.width = info->width;
    m.height = info->height;
    m.primary = info->primary != 0;
    if (resources && xcb_randr_monitor_info_outputs_length(info) == 1) {
      m.mode = modeOf(c, resources.get(), xcb_randr_monitor_info_outputs(info)[0], m);
    }
    monitors.push_back(m);
  }
  sortScreenOrder(monitors);
  return monitors;
}

}  // namespace qx::x11
