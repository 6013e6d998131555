#include "server/input/pointer_mapping.h"

#include <algorithm>
#include <cmath>

namespace qx::server::input {
namespace {

std::int32_t along(std::int32_t origin, std::int32_t size, double v) {
  const auto offset = static_cast<std::int64_t>(std::floor(v * size));
  return origin + static_cast<std::int32_t>(std::clamp<std::int64_t>(offset, 0, size - 1));
}

}  // namespace

RootPoint toRoot(const MonitorRect& rect, double x, double y) {
  return {along(rect.x, rect.width, x), along(rect.y, rect.height, y)};
}

RelativePoint relativeOf(const MonitorRect& rect, RootPoint p) {
  const std::int64_t dx = std::int64_t{p.x} - rect.x;
  const std::int64_t dy = std::int64_t{p.y} - rect.y;
  const bool inside = dx >= 0 && dy >= 0 && dx < rect.width && dy < rect.height;
  return {(static_cast<double>(dx) + 0.5) / rect.width, (static_cast<double>(dy) + 0.5) / rect.height, inside};
}

std::string straightRgba(std::span<const std::uint32_t> argb) {
  std::string out(argb.size() * 4, '\0');
  for (std::size_t i = 0; i < argb.size(); ++i) {
    const std::uint32_t p = argb[i];
    const std::uint32_t a = p >> 24;
    if (a == 0) continue;
    const auto unmultiply = [a](std::uint32_t c) {
      return static_cast<char>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
    };
    out[i * 4 + 0] = unmultiply((p >> 16) & 0xff);
    out[i * 4 + 1] = unmultiply((p >> 8) & 0xff);
    out[i * 4 + 2] = unmultiply(p & 0xff);
    out[i * 4 + 3] = static_cast<char>(a);
  }
  return out;
}

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3f] : '=');
  }
  return out;
}

}  // namespace qx::server::input
