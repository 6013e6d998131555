#include "platform/linux/x11/screen_grabber.h"

#include <algorithm>
#include <cstring>

#include <xcb/randr.h>
#include <xcb/shm.h>

#include "platform/linux/x11/display_probe.h"
#include "platform/linux/x11/x11_capture_errors.h"

namespace qx::x11 {

namespace {

bool hasExtension(xcb_connection_t* c, xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
  return data != nullptr && data->present != 0;
}

// The bits per pixel the server uses for `depth`, or 0.
int bitsPerPixel(xcb_connection_t* c, std::uint8_t depth) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel;
  }
  return 0;
}

}  // namespace

std::variant<std::unique_ptr<ScreenGrabber>, PlatformError> ScreenGrabber::open(const std::string& displayName,
                                                                                DisplayID displayID,
                                                                                const StreamConfiguration& config) {
  auto g = std::unique_ptr<ScreenGrabber>(new ScreenGrabber(displayName));
  xcb_connection_t* c = g->conn_.get();
  if (!g->conn_.ok()) {
    return captureError(kConnectFailed, "cannot connect to X display \"" + displayInUse(displayName) + "\"");
  }
  if (!hasExtension(c, &xcb_shm_id) || !hasExtension(c, &xcb_damage_id) || !hasExtension(c, &xcb_randr_id)) {
    return captureError(kExtensionMissing, "the X server lacks MIT-SHM, DAMAGE or RANDR");
  }
  const auto monitors = queryMonitors(g->conn_, false);
  if (!monitors) return captureError(kExtensionMissing, "the X server does not list RandR monitors");
  const Monitor* found = nullptr;
  for (const auto& m : *monitors) {
    if (m.id == displayID) found = &m;
  }
  if (!found) return captureError(kDisplayGone, "display " + std::to_string(displayID) + " is no longer connected");
  g->monitor_ = *found;
  if (g->monitor_.width <= 0 || g->monitor_.height <= 0) {
    return captureError(kDisplayGone, "display " + std::to_string(displayID) + " has no area");
  }

  const xcb_screen_t* screen = g->conn_.screen();
  if (bitsPerPixel(c, screen->root_depth) != 32 || xcb_get_setup(c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
      (screen->root_depth != 24 && screen->root_depth != 32)) {
    return captureError(kUnsupportedFormat, "the X screen is not 32-bit BGRX");
  }

  g->dstWidth_ = static_cast<int>(config.width > 0 ? config.width : g->monitor_.width);
  g->dstHeight_ = static_cast<int>(config.height > 0 ? config.height : g->monitor_.height);
  if (g->dstWidth_ <= 0 || g->dstHeight_ <= 0 || g->dstWidth_ > 16384 || g->dstHeight_ > 16384) {
    return captureError(kBadConfiguration, "unusable capture size");
  }

  XcbReply<xcb_damage_query_version_reply_t> damageVersion(
      xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  if (!damageVersion) return captureError(kExtensionMissing, "the X server refused DAMAGE");
  const auto bytes = static_cast<std::size_t>(g->monitor_.width) * static_cast<std::size_t>(g->monitor_.height) * 4;
  g->mirror_ = std::make_unique<ShmSegment>(c, bytes, ShmSegment::Access::readWrite);
  // Partial grabs land here first; never more than half the screen at once.
  g->scratch_ = std::make_unique<ShmSegment>(c, bytes / 2 + 4, ShmSegment::Access::readOnly);
  if (!g->mirror_->ok() || !g->scratch_->ok()) {
    return captureError(kSetupFailed, "cannot share memory with the X server (MIT-SHM)");
  }
  g->sinceGrab_ = DamageRegion(static_cast<int>(g->monitor_.width), static_cast<int>(g->monitor_.height));

  g->damage_ = xcb_generate_id(c);
  // Every damaged rectangle is reported, so changes on other monitors can
  // be told apart from ours; raw reports need no repair requests.
  xcb_damage_create(c, g->damage_, screen->root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
  xcb_randr_select_input(c, screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
  // A round trip so the requests above are known to have reached the server.
  XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  if (!focus) return captureError(kConnectionBroken, "X connection broken");

  g->damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
  g->randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY;

  g->converter_ = std::make_unique<Nv12Converter>(static_cast<int>(g->monitor_.width),
                                                  static_cast<int>(g->monitor_.height), g->dstWidth_, g->dstHeight_);
  if (!g->converter_->ok()) return captureError(kBadConfiguration, "cannot scale to the capture size");
  g->pool_ = std::make_unique<FramePool>(static_cast<std::size_t>(std::max(config.queueDepth, 1)), g->dstWidth_,
                                         g->dstHeight_);
  return g;
}

ScreenGrabber::~ScreenGrabber() {
  if (damage_ != 0 && conn_.ok()) {
    xcb_damage_destroy(conn_.get(), damage_);
    xcb_flush(conn_.get());
  }
}

int ScreenGrabber::fd() const { return xcb_get_file_descriptor(conn_.get()); }

void ScreenGrabber::flush() { xcb_flush(conn_.get()); }

std::optional<PlatformError> ScreenGrabber::drainEvents(bool& damaged) {
  xcb_connection_t* c = conn_.get();
  while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
    XcbReply<xcb_generic_event_t> event(raw);
    const int type = event->response_type & 0x7f;
    if (type == damageEvent_) {
      const xcb_rectangle_t& area = reinterpret_cast<const xcb_damage_notify_event_t*>(raw)->area;
      const PixelRect onMonitor =
          intersection({area.x - monitor_.x, area.y - monitor_.y, area.width, area.height},
                       {0, 0, static_cast<int>(monitor_.width), static_cast<int>(monitor_.height)});
      if (!onMonitor.empty()) {
        damaged = true;
        sinceGrab_.add(onMonitor);
        for (auto& [buffer, region] : stale_) region.add(onMonitor);
      }
    }
    if (type == randrEvent_) return captureError(kScreenChanged, "X screen configuration changed");
  }
  if (xcb_connection_has_error(c) != 0) return captureError(kConnectionBroken, "X connection broken");
  return std::nullopt;
}

std::optional<PlatformError> ScreenGrabber::grab(PixelBuffer& out) {
  if (auto error = updateMirror()) return error;
  const int stride = static_cast<int>(monitor_.width) * 4;
  DamageRegion& region = staleRegionOf(out);
  const PixelRect all{0, 0, dstWidth_, dstHeight_};
  std::vector<PixelRect> targets;
  for (const PixelRect& r : region.rects()) targets.push_back(region.whole() ? all : converter_->destinationFor(r));
  if (std::find(targets.begin(), targets.end(), all) != targets.end()) {
    converter_->convert(mirror_->data(), stride, out);
  } else {
    for (const PixelRect& r : targets) converter_->convertRect(mirror_->data(), stride, out, r);
  }
  region.clear();
  return std::nullopt;
}

// What changed since `buffer` was last filled: each pool buffer is still
// referenced downstream after it is handed on, so it cannot simply follow
// the latest frame. A buffer not seen before was never filled.
DamageRegion& ScreenGrabber::staleRegionOf(const PixelBuffer& buffer) {
  for (auto& [b, region] : stale_) {
    if (b == &buffer) return region;
  }
  return stale_.emplace_back(&buffer, DamageRegion(static_cast<int>(monitor_.width), static_cast<int>(monitor_.height)))
      .second;
}

// Grabs what changed since the last grab into the mirror. Every request is
// sent before the first reply is awaited: one round trip however many
// rectangles. Full-width bands go straight into place; other rectangles
// land packed in the scratch segment and are copied.
std::optional<PlatformError> ScreenGrabber::updateMirror() {
  xcb_connection_t* c = conn_.get();
  const int width = static_cast<int>(monitor_.width);
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  struct Pending {
    PixelRect rect;
    bool scratch;
    std::size_t offset;
    xcb_shm_get_image_cookie_t cookie;
  };
  std::vector<Pending> pending;
  std::size_t scratchUsed = 0;
  for (const PixelRect& r : sinceGrab_.rects()) {
    Pending p{r, r.width != width, 0, {}};
    if (p.scratch) {
      p.offset = scratchUsed;
      scratchUsed += static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) * 4;
    } else {
      p.offset = static_cast<std::size_t>(r.y) * stride;
    }
    p.cookie = xcb_shm_get_image(c, conn_.screen()->root, static_cast<std::int16_t>(monitor_.x + r.x),
                                 static_cast<std::int16_t>(monitor_.y + r.y), static_cast<std::uint16_t>(r.width),
                                 static_cast<std::uint16_t>(r.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                 p.scratch ? scratch_->seg() : mirror_->seg(), static_cast<std::uint32_t>(p.offset));
    pending.push_back(p);
  }
  sinceGrab_.clear();
  std::optional<PlatformError> failure;
  for (const Pending& p : pending) {
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, p.cookie, &rawError));
    XcbReply<xcb_generic_error_t> error(rawError);
    if (failure) continue;  // collect every reply, so none is left queued
    if (!reply) {
      if (xcb_connection_has_error(c) != 0) {
        failure = captureError(kConnectionBroken, "X connection broken");
      } else if (error && error->error_code == XCB_MATCH) {
        // The rectangle left the screen: the screen shrank under us.
        failure = captureError(kScreenChanged, "X screen configuration changed");
      } else {
        failure = captureError(kGrabFailed,
                               "X screen grab failed (X error " + std::to_string(error ? error->error_code : 0) + ")");
      }
      continue;
    }
    if (!p.scratch) continue;
    const std::size_t rowBytes = static_cast<std::size_t>(p.rect.width) * 4;
    const std::uint8_t* from = scratch_->data() + p.offset;
    std::uint8_t* to =
        mirror_->data() + static_cast<std::size_t>(p.rect.y) * stride + static_cast<std::size_t>(p.rect.x) * 4;
    for (int row = 0; row < p.rect.height; ++row, from += rowBytes, to += stride) std::memcpy(to, from, rowBytes);
  }
  return failure;
}

}  // namespace qx::x11
