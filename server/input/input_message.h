#pragma once

// The messages a viewer sends on its "input" data channel, and the ones the
// server sends back. Parsing is strict: anything out of range, not finite or
// too long is dropped as a whole, so nothing past this point checks bounds.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qx::server::input {

// Positions are relative to the picture: 0 at its left/top edge, 1 at its
// right/bottom edge.
struct PointerMove {
  double x = 0;
  double y = 0;
  friend bool operator==(const PointerMove&, const PointerMove&) = default;
};

struct ButtonEvent {
  int button = 0;  // 0 left, 1 middle, 2 right
  bool down = false;
  std::optional<PointerMove> at;  // move there first
  friend bool operator==(const ButtonEvent&, const ButtonEvent&) = default;
};

// Whole wheel steps; dy > 0 scrolls down, dx > 0 right.
struct WheelEvent {
  int dx = 0;
  int dy = 0;
  friend bool operator==(const WheelEvent&, const WheelEvent&) = default;
};

// A browser KeyboardEvent's `key` and `code`.
struct KeyEvent {
  std::string key;
  std::string code;
  bool down = false;
  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// Characters typed (a phone's keyboard), as Unicode code points.
struct TextEvent {
  std::u32string text;
  friend bool operator==(const TextEvent&, const TextEvent&) = default;
};

using ViewerMessage = std::variant<PointerMove, ButtonEvent, WheelEvent, KeyEvent, TextEvent>;

inline constexpr std::size_t kMaxMessageBytes = 4096;
inline constexpr std::size_t kMaxKeyBytes = 32;   // `key` and `code` each
inline constexpr std::size_t kMaxTextChars = 64;  // code points per "text"
inline constexpr int kMaxWheelSteps = 20;         // per axis and message

// Absent for anything malformed or of an unknown "type" (both are ignored).
std::optional<ViewerMessage> parseViewerMessage(std::string_view json);

// What a message costs against the viewer's rate: one per injected event
// (press and release count once, a wheel step once, a character once).
unsigned eventCost(const ViewerMessage& message);

// Server -> viewer.
std::string inputStatusJson(bool available, std::string_view reason, std::int64_t width, std::int64_t height);
std::string cursorJson(double x, double y, bool visible);
std::string cursorShapeJson(int width, int height, int hotX, int hotY, std::string_view rgbaBase64);

}  // namespace qx::server::input
