#include "platform/linux/x11/x11_input.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include "platform/linux/x11/randr_monitors.h"
#include "platform/linux/x11/xcb_handles.h"

namespace qx::x11 {
namespace {

constexpr std::uint32_t kShiftL = 0xffe1;
constexpr std::size_t kMaxSpares = 8;

// True when the two keysyms are a lower/upper case pair, which Lock (Caps Lock) swaps.
bool casePair(std::uint32_t lower, std::uint32_t upper) {
  if (lower >= 'a' && lower <= 'z') return upper == lower - 0x20;
  if (lower >= 0xe0 && lower <= 0xfe && lower != 0xf7) return upper == lower - 0x20;
  return false;
}

}  // namespace

struct X11Input::Impl {
  explicit Impl(const std::string& displayName) : conn(displayName) {}

  struct Spare {
    std::uint8_t keycode = 0;
    std::uint32_t keysym = 0;  // 0: free
    int down = 0;
    Clock::time_point lastUse{};
  };

  xcb_connection_t* c() const { return conn.get(); }
  xcb_window_t root() const { return conn.screen()->root; }

  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0) {
    xcb_test_fake_input(c(), type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? root() : XCB_NONE, x, y, 0);
  }

  void loadKeymap() {
    const xcb_setup_t* setup = xcb_get_setup(c());
    minKeycode = setup->min_keycode;
    maxKeycode = setup->max_keycode;
    const int count = maxKeycode - minKeycode + 1;
    XcbReply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
        c(), xcb_get_keyboard_mapping(c(), minKeycode, static_cast<std::uint8_t>(count)), nullptr));
    XcbReply<xcb_get_modifier_mapping_reply_t> mods(
        xcb_get_modifier_mapping_reply(c(), xcb_get_modifier_mapping(c()), nullptr));
    if (!map || !mods) return;
    perKeycode = map->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(map.get()));
    const xcb_keycode_t* modCodes = xcb_get_modifier_mapping_keycodes(mods.get());
    // The first row of the modifier map is Shift.
    shiftKeycodes.clear();
    for (int i = 0; i < mods->keycodes_per_modifier; ++i) {
      if (modCodes[i] != 0) shiftKeycodes.push_back(modCodes[i]);
    }
    if (spares.empty()) findSpares();
  }

  std::uint32_t sym(int keycode, int column) const {
    const std::size_t i = static_cast<std::size_t>(keycode - minKeycode) * perKeycode + column;
    return column < perKeycode && i < keysyms.size() ? keysyms[i] : 0;
  }

  // Keycodes with no symbol at all, from the top, where layouts rarely put anything.
  void findSpares() {
    for (int k = maxKeycode; k >= minKeycode && spares.size() < kMaxSpares; --k) {
      bool empty = true;
      for (int col = 0; col < perKeycode && empty; ++col) empty = sym(k, col) == 0;
      if (empty) spares.push_back(Spare{static_cast<std::uint8_t>(k)});
    }
  }

  bool isSpare(int keycode) const {
    return std::any_of(spares.begin(), spares.end(), [keycode](const Spare& s) { return s.keycode == keycode; });
  }

  struct Found {
    std::uint8_t keycode = 0;
    int column = 0;  // 0 unshifted, 1 shifted
  };

  // Columns 0 and 1 of the core map are the first group's unshifted and
  // shifted symbols; an empty column 1 repeats column 0.
  std::optional<Found> find(std::uint32_t keysym) const {
    for (int column = 0; column < 2; ++column) {
      for (int k = minKeycode; k <= maxKeycode; ++k) {
        if (isSpare(k)) continue;  // borrowed ones are looked up apart, with their press count
        std::uint32_t s = sym(k, column);
        if (column == 1 && s == 0) s = sym(k, 0);
        if (s == keysym) return Found{static_cast<std::uint8_t>(k), column};
      }
    }
    return std::nullopt;
  }

  std::uint16_t modifierState() const {
    XcbReply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(c(), xcb_query_pointer(c(), root()), nullptr));
    return p ? p->mask : 0;
  }

  std::vector<std::uint8_t> shiftKeysDown() const {
    std::vector<std::uint8_t> down;
    XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c(), xcb_query_keymap(c()), nullptr));
    if (!keys) return down;
    for (std::uint8_t k : shiftKeycodes) {
      if ((keys->keys[k / 8] >> (k % 8)) & 1) down.push_back(k);
    }
    return down;
  }

  // Presses `f.keycode` with Shift in the state its column needs, then puts
  // Shift back as it was; the key itself stays down.
  void pressWithShift(const Found& f) {
    const std::uint32_t lower = sym(f.keycode, 0);
    const std::uint32_t upper = sym(f.keycode, 1);
    if (upper == 0 || upper == lower) {
      fake(XCB_KEY_PRESS, f.keycode);
      return;
    }
    const std::uint16_t state = modifierState();
    const bool shift = (state & XCB_MOD_MASK_SHIFT) != 0;
    const bool lock = (state & XCB_MOD_MASK_LOCK) != 0 && casePair(lower, upper);
    if ((shift != lock) == (f.column == 1)) {
      fake(XCB_KEY_PRESS, f.keycode);
      return;
    }
    if (shift) {
      const auto held = shiftKeysDown();
      for (auto k : held) fake(XCB_KEY_RELEASE, k);
      fake(XCB_KEY_PRESS, f.keycode);
      for (auto k : held) fake(XCB_KEY_PRESS, k);
      return;
    }
    const auto shiftKey = find(kShiftL);
    const std::uint8_t s = shiftKey ? shiftKey->keycode : (shiftKeycodes.empty() ? 0 : shiftKeycodes.front());
    if (s == 0) {
      fake(XCB_KEY_PRESS, f.keycode);
      return;
    }
    fake(XCB_KEY_PRESS, s);
    fake(XCB_KEY_PRESS, f.keycode);
    fake(XCB_KEY_RELEASE, s);
  }

  void setKeysym(std::uint8_t keycode, std::uint32_t keysym) {
    std::vector<xcb_keysym_t> row(static_cast<std::size_t>(perKeycode), 0);
    // Both shift levels, so the Shift state cannot change what it types.
    for (std::size_t i = 0; i < row.size() && i < 2; ++i) row[i] = keysym;
    xcb_change_keyboard_mapping(c(), 1, keycode, perKeycode, row.data());
    const std::size_t at = static_cast<std::size_t>(keycode - minKeycode) * perKeycode;
    if (at + row.size() <= keysyms.size()) std::copy(row.begin(), row.end(), keysyms.begin() + at);
  }

  // A spare keycode carrying `keysym`: one that carries it already, else a
  // free one, else the least recently used one that is up.
  Spare* borrow(std::uint32_t keysym) {
    for (auto& s : spares) {
      if (s.keysym == keysym) return &s;
    }
    Spare* pick = nullptr;
    for (auto& s : spares) {
      if (s.down > 0) continue;
      if (s.keysym == 0) {
        pick = &s;
        break;
      }
      if (pick == nullptr || s.lastUse < pick->lastUse) pick = &s;
    }
    if (pick == nullptr) return nullptr;
    pick->keysym = keysym;
    setKeysym(pick->keycode, keysym);
    // The mapping must reach the server before the key does.
    sync();
    return pick;
  }

  // A round trip: everything sent before has been processed.
  void sync() const {
    XcbReply<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
  }

  Spare* spareFor(std::uint8_t keycode) {
    for (auto& s : spares) {
      if (s.keycode == keycode && s.keysym != 0) return &s;
    }
    return nullptr;
  }

  XcbConnection conn;
  const xcb_query_extension_reply_t* xfixes = nullptr;
  int minKeycode = 8;
  int maxKeycode = 255;
  int perKeycode = 0;
  std::vector<std::uint32_t> keysyms;
  std::vector<std::uint8_t> shiftKeycodes;
  std::vector<Spare> spares;
  bool cursorChanged = true;
};

std::variant<std::unique_ptr<X11Input>, X11Input::Unavailable> X11Input::open(const std::string& displayName) {
  auto impl = std::make_unique<Impl>(displayName);
  if (!impl->conn.ok()) return Unavailable::noDisplay;
  xcb_connection_t* c = impl->c();
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
  if (xtest == nullptr || xtest->present == 0) return Unavailable::noXtest;
  XcbReply<xcb_test_get_version_reply_t> version(xcb_test_get_version_reply(c, xcb_test_get_version(c, 2, 2), nullptr));
  if (!version) return Unavailable::noXtest;

  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (xfixes != nullptr && xfixes->present != 0) {
    XcbReply<xcb_xfixes_query_version_reply_t> v(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (v && v->major_version >= 2) {
      impl->xfixes = xfixes;
      xcb_xfixes_select_cursor_input(c, impl->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
  }
  impl->loadKeymap();
  xcb_flush(c);
  return std::unique_ptr<X11Input>(new X11Input(std::move(impl)));
}

X11Input::X11Input(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Input::~X11Input() {
  if (!ok()) return;
  for (auto& s : impl_->spares) {
    if (s.down > 0) impl_->fake(XCB_KEY_RELEASE, s.keycode);
    if (s.keysym != 0) impl_->setKeysym(s.keycode, 0);
  }
  xcb_flush(impl_->c());
}

bool X11Input::ok() const { return impl_->conn.ok(); }

int X11Input::fd() const { return xcb_get_file_descriptor(impl_->c()); }

void X11Input::handleEvents() {
  bool mappingChanged = false;
  while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(impl_->c())}) {
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) mappingChanged = true;
    if (impl_->xfixes != nullptr && type == impl_->xfixes->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
      impl_->cursorChanged = true;
    }
  }
  if (mappingChanged && ok()) impl_->loadKeymap();
}

std::optional<std::vector<InputMonitor>> X11Input::monitors() const {
  auto found = queryMonitors(impl_->conn, false);
  if (!found) return std::nullopt;
  std::vector<InputMonitor> out;
  for (const auto& m : *found) {
    out.push_back({m.id, m.x, m.y, static_cast<std::int32_t>(m.width), static_cast<std::int32_t>(m.height)});
  }
  return out;
}

void X11Input::moveTo(std::int32_t x, std::int32_t y) {
  if (!ok()) return;
  impl_->fake(XCB_MOTION_NOTIFY, 0, static_cast<std::int16_t>(std::clamp<std::int32_t>(x, INT16_MIN, INT16_MAX)),
              static_cast<std::int16_t>(std::clamp<std::int32_t>(y, INT16_MIN, INT16_MAX)));
}

void X11Input::button(int xButton, bool down) {
  if (!ok() || xButton < 1 || xButton > 255) return;
  impl_->fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(xButton));
}

std::uint8_t X11Input::keyDown(std::uint32_t keysym) {
  if (!ok() || keysym == 0 || impl_->perKeycode == 0) return 0;
  if (const auto found = impl_->find(keysym)) {
    impl_->pressWithShift(*found);
    return found->keycode;
  }
  Impl::Spare* spare = impl_->borrow(keysym);
  if (spare == nullptr) return 0;
  ++spare->down;
  spare->lastUse = Clock::now();
  impl_->fake(XCB_KEY_PRESS, spare->keycode);
  return spare->keycode;
}

void X11Input::keyUp(std::uint8_t keycode) {
  if (!ok() || keycode == 0) return;
  impl_->fake(XCB_KEY_RELEASE, keycode);
  if (Impl::Spare* spare = impl_->spareFor(keycode)) {
    spare->down = std::max(0, spare->down - 1);
    spare->lastUse = Clock::now();
  }
}

bool X11Input::type(std::uint32_t keysym) {
  const std::uint8_t keycode = keyDown(keysym);
  if (keycode == 0) return false;
  keyUp(keycode);
  return true;
}

std::optional<X11Input::Clock::time_point> X11Input::restoreSpares(Clock::time_point now,
                                                                   std::chrono::milliseconds rest, bool all) {
  std::optional<Clock::time_point> next;
  for (auto& s : impl_->spares) {
    if (s.keysym == 0 || s.down > 0) continue;
    const auto due = s.lastUse + rest;
    if (all || due <= now) {
      if (ok()) impl_->setKeysym(s.keycode, 0);
      s.keysym = 0;
    } else if (!next || due < *next) {
      next = due;
    }
  }
  return next;
}

std::optional<PointerPosition> X11Input::pointer() {
  if (!ok()) return std::nullopt;
  XcbReply<xcb_query_pointer_reply_t> p(
      xcb_query_pointer_reply(impl_->c(), xcb_query_pointer(impl_->c(), impl_->root()), nullptr));
  if (!p || p->same_screen == 0) return std::nullopt;
  return PointerPosition{p->root_x, p->root_y};
}

bool X11Input::takeCursorChanged() { return std::exchange(impl_->cursorChanged, false); }

std::optional<CursorImage> X11Input::cursorImage() {
  if (!ok() || impl_->xfixes == nullptr) return std::nullopt;
  XcbReply<xcb_xfixes_get_cursor_image_reply_t> r(
      xcb_xfixes_get_cursor_image_reply(impl_->c(), xcb_xfixes_get_cursor_image(impl_->c()), nullptr));
  if (!r) return std::nullopt;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(r.get());
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(r.get());
  if (length != r->width * r->height) return std::nullopt;
  return CursorImage{r->width, r->height, r->xhot, r->yhot, std::vector<std::uint32_t>(pixels, pixels + length)};
}

void X11Input::flush() {
  if (ok()) xcb_flush(impl_->c());
}

}  // namespace qx::x11
