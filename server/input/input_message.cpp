#include "server/input/input_message.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace qx::server::input {
namespace {

using nlohmann::json;

std::optional<double> unitNumber(const json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v) || v < 0.0 || v > 1.0) return std::nullopt;
  return v;
}

std::optional<int> boundedInteger(const json& object, const char* name, int lo, int hi) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  // Unsigned values past the signed range read back negative; compare as both.
  if (it->is_number_unsigned()) {
    const auto v = it->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(hi)) return std::nullopt;
    return static_cast<int>(v);
  }
  const auto v = it->get<std::int64_t>();
  if (v < lo || v > hi) return std::nullopt;
  return static_cast<int>(v);
}

std::optional<bool> boolean(const json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::optional<std::string> shortString(const json& object, const char* name, std::size_t maxBytes) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  auto s = it->get<std::string>();
  if (s.size() > maxBytes) return std::nullopt;
  return s;
}

// The JSON parser has validated the UTF-8 already.
std::u32string codePoints(std::string_view utf8) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const int extra = b < 0x80 ? 0 : b < 0xe0 ? 1 : b < 0xf0 ? 2 : 3;
    char32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1f) : extra == 2 ? (b & 0x0f) : (b & 0x07);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3f);
    out.push_back(cp);
    i += 1 + extra;
  }
  return out;
}

std::optional<ViewerMessage> fromObject(const json& m) {
  const auto type = shortString(m, "type", 16);
  if (!type) return std::nullopt;
  if (*type == "pointer") {
    const auto x = unitNumber(m, "x");
    const auto y = unitNumber(m, "y");
    if (!x || !y) return std::nullopt;
    return PointerMove{*x, *y};
  }
  if (*type == "button") {
    const auto button = boundedInteger(m, "button", 0, 2);
    const auto down = boolean(m, "down");
    if (!button || !down) return std::nullopt;
    ButtonEvent e{*button, *down, std::nullopt};
    const bool hasX = m.contains("x");
    if (hasX != m.contains("y")) return std::nullopt;
    if (hasX) {
      const auto x = unitNumber(m, "x");
      const auto y = unitNumber(m, "y");
      if (!x || !y) return std::nullopt;
      e.at = PointerMove{*x, *y};
    }
    return e;
  }
  if (*type == "wheel") {
    const auto dx = m.contains("dx") ? boundedInteger(m, "dx", -kMaxWheelSteps, kMaxWheelSteps) : 0;
    const auto dy = m.contains("dy") ? boundedInteger(m, "dy", -kMaxWheelSteps, kMaxWheelSteps) : 0;
    if (!dx || !dy) return std::nullopt;
    return WheelEvent{*dx, *dy};
  }
  if (*type == "key") {
    const auto key = shortString(m, "key", kMaxKeyBytes);
    const auto code = m.contains("code") ? shortString(m, "code", kMaxKeyBytes) : std::string();
    const auto down = boolean(m, "down");
    if (!key || !code || !down || key->empty()) return std::nullopt;
    return KeyEvent{*key, *code, *down};
  }
  if (*type == "text") {
    const auto text = shortString(m, "text", kMaxTextChars * 4);
    if (!text) return std::nullopt;
    auto points = codePoints(*text);
    if (points.size() > kMaxTextChars) return std::nullopt;
    return TextEvent{std::move(points)};
  }
  return std::nullopt;
}

}  // namespace

std::optional<ViewerMessage> parseViewerMessage(std::string_view text) {
  if (text.size() > kMaxMessageBytes) return std::nullopt;
  const json m = json::parse(text, nullptr, false);
  if (m.is_discarded() || !m.is_object()) return std::nullopt;
  return fromObject(m);
}

unsigned eventCost(const ViewerMessage& message) {
  if (const auto* wheel = std::get_if<WheelEvent>(&message)) {
    return std::max(1u, static_cast<unsigned>(std::abs(wheel->dx) + std::abs(wheel->dy)));
  }
  if (const auto* text = std::get_if<TextEvent>(&message)) return std::max<unsigned>(1, text->text.size());
  return 1;
}

std::string inputStatusJson(bool available, std::string_view reason, std::int64_t width, std::int64_t height) {
  return json{{"type", "input"}, {"available", available}, {"reason", reason}, {"width", width}, {"height", height}}
      .dump();
}

std::string cursorJson(double x, double y, bool visible) {
  // Four decimals place the pointer within a pixel on an 8K picture.
  const auto round4 = [](double v) { return std::round(v * 10000.0) / 10000.0; };
  return json{{"type", "cursor"}, {"x", round4(x)}, {"y", round4(y)}, {"visible", visible}}.dump();
}

std::string cursorShapeJson(int width, int height, int hotX, int hotY, std::string_view rgbaBase64) {
  return json{{"type", "cursor-shape"}, {"width", width}, {"height", height},
              {"hotX", hotX},           {"hotY", hotY},   {"rgba", rgbaBase64}}
      .dump();
}

}  // namespace qx::server::input
