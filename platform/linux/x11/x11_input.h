#pragma once

// Remote input on X11: synthetic pointer and key events through XTEST, keys
// looked up in the server's current keyboard map, the pointer's position and
// its shape (XFIXES). One object, one X connection; not thread-safe: one
// thread owns it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qx::x11 {

// A RandR monitor, in root-window pixels, in screen order.
struct InputMonitor {
  std::uint32_t id = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct PointerPosition {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Premultiplied ARGB, row by row.
struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<std::uint32_t> argb;
};

class X11Input {
 public:
  enum class Unavailable { noDisplay, noXtest };
  using Clock = std::chrono::steady_clock;

  // Connects to `displayName` (empty: $DISPLAY) and checks that the server
  // offers XTEST.
  static std::variant<std::unique_ptr<X11Input>, Unavailable> open(const std::string& displayName);
  ~X11Input();
  X11Input(const X11Input&) = delete;
  X11Input& operator=(const X11Input&) = delete;

  // False once the connection broke; every call is then a no-op.
  bool ok() const;
  // Readable when X events wait: call handleEvents.
  int fd() const;
  // Reads waiting events: keyboard map changes, pointer shape changes.
  void handleEvents();

  // Absent when RandR 1.5 is missing or the connection broke.
  std::optional<std::vector<InputMonitor>> monitors() const;

  void moveTo(std::int32_t x, std::int32_t y);
  // X button numbers: 1 left, 2 middle, 3 right, 4/5 wheel up/down, 6/7 left/right.
  void button(int xButton, bool down);
  // Presses the key that types `keysym` with the shift state it needs right
  // now; a keysym the map lacks is put on a spare keycode for a while.
  // Returns the keycode held down, 0 when none could carry it.
  std::uint8_t keyDown(std::uint32_t keysym);
  void keyUp(std::uint8_t keycode);
  // Press and release.
  bool type(std::uint32_t keysym);
  // Gives the spare keycodes back to the empty map once they have rested for
  // `rest` (clients read the map after the event, so not at once) and no key
  // is down on them; `all` restores every one that is up. Returns the next
  // time a spare becomes due, if any.
  std::optional<Clock::time_point> restoreSpares(Clock::time_point now, std::chrono::milliseconds rest, bool all);

  std::optional<PointerPosition> pointer();
  // True once after the pointer's shape changed (and at first).
  bool takeCursorChanged();
  std::optional<CursorImage> cursorImage();

  // Sends what is buffered.
  void flush();

 private:
  struct Impl;
  explicit X11Input(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::x11
