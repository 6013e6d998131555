#include "platform/linux/x11/x11_display_power.h"

#include <xcb/dpms.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include "platform/linux/x11/xcb_handles.h"

namespace qx {

namespace {

constexpr std::int32_t kNoConnection = -1;

bool hasExtension(xcb_connection_t* c, xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
  return data != nullptr && data->present != 0;
}

std::int32_t statusOf(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  x11::XcbReply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
  if (error) return error->error_code;
  return xcb_connection_has_error(c) != 0 ? kNoConnection : 0;
}

// DPMS state when the server has the extension and it is enabled.
x11::XcbReply<xcb_dpms_info_reply_t> enabledDpms(xcb_connection_t* c) {
  if (!hasExtension(c, &xcb_dpms_id)) return nullptr;
  x11::XcbReply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
  if (!info || info->state == 0) return nullptr;
  return info;
}

}  // namespace

X11DisplayPowerService::X11DisplayPowerService(const std::string& displayName)
    : connection_(std::make_unique<x11::XcbConnection>(displayName)) {}

X11DisplayPowerService::~X11DisplayPowerService() = default;

DisplayPowerService::Assertion X11DisplayPowerService::createKeepAwakeAssertion(std::string_view) {
  std::lock_guard lock(mutex_);
  if (!connection_->ok()) return {kNoConnection, 0};
  xcb_connection_t* c = connection_->get();
  if (!hasExtension(c, &xcb_screensaver_id)) return {XCB_REQUEST, 0};
  const std::int32_t status = statusOf(c, xcb_screensaver_suspend_checked(c, 1));
  if (status != 0) return {status, 0};
  return {0, nextID_++};
}

std::int32_t X11DisplayPowerService::declareUserActivity(std::string_view, std::uint32_t& activityID) {
  std::lock_guard lock(mutex_);
  if (!connection_->ok()) return kNoConnection;
  xcb_connection_t* c = connection_->get();
  std::int32_t status = statusOf(c, xcb_force_screen_saver_checked(c, XCB_SCREEN_SAVER_RESET));
  if (enabledDpms(c)) {
    const std::int32_t dpmsStatus = statusOf(c, xcb_dpms_force_level_checked(c, XCB_DPMS_DPMS_MODE_ON));
    if (status == 0) status = dpmsStatus;
  }
  if (status == 0 && activityID == 0) activityID = nextID_++;
  return status;
}

bool X11DisplayPowerService::isDisplayAsleep(std::uint32_t) {
  std::lock_guard lock(mutex_);
  if (!connection_->ok()) return false;
  xcb_connection_t* c = connection_->get();
  if (hasExtension(c, &xcb_screensaver_id)) {
    x11::XcbReply<xcb_screensaver_query_info_reply_t> info(
        xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, connection_->screen()->root), nullptr));
    if (info && info->state == XCB_SCREENSAVER_STATE_ON) return true;
  }
  if (auto dpms = enabledDpms(c)) return dpms->power_level != XCB_DPMS_DPMS_MODE_ON;
  return false;
}

}  // namespace qx
