#pragma once

#include <cstdint>
#include <memory>

#include "platform/media.h"

namespace qx::test {

// A moving NV12 picture for encoder tests and benchmarks: a diagonal gradient
// scrolling right, a bright box moving across it, and a band of fine
// pseudo-random texture (like small text) scrolling down, part of it new in
// every frame, so every frame has detail the encoder must spend bits on. Deterministic for (size, frame).
inline void drawPattern(PixelBuffer& buf, int frame) {
  const int w = buf.width();
  const int h = buf.height();
  std::uint8_t* y = buf.plane(0);
  std::uint8_t* uv = buf.plane(1);
  const int sy = buf.stride(0);
  const int suv = buf.stride(1);
  const int boxX = (frame * 12) % (w > 160 ? w - 160 : 1);
  const int boxY = h / 3 + ((frame * 5) % (h / 3 > 0 ? h / 3 : 1));
  for (int r = 0; r < h; ++r) {
    std::uint8_t* row = y + static_cast<std::ptrdiff_t>(r) * sy;
    const bool textBand = r > h / 2;
    for (int c = 0; c < w; ++c) {
      int v = 16 + ((c + r + frame * 4) & 0xFF) * 219 / 255;
      if (textBand) {
        // 4x4 cells of hashed brightness, scrolling two pixels per frame;
        // in the bottom eighth the cells also change every frame, which no
        // motion search can predict.
        const std::uint32_t fresh = r > h * 7 / 8 ? static_cast<std::uint32_t>(frame) * 83492791u : 0u;
        const std::uint32_t cell = static_cast<std::uint32_t>((c / 4) * 73856093) ^
                                   static_cast<std::uint32_t>(((r + frame * 2) / 4) * 19349663) ^ fresh;
        const std::uint32_t hash = (cell ^ (cell >> 13)) * 0x5bd1e995u;
        v = (hash >> 24) & 1 ? 235 : 40;
      }
      if (c >= boxX && c < boxX + 160 && r >= boxY && r < boxY + 120) v = 220;
      row[c] = static_cast<std::uint8_t>(v);
    }
  }
  for (int r = 0; r < h / 2; ++r) {
    std::uint8_t* row = uv + static_cast<std::ptrdiff_t>(r) * suv;
    for (int c = 0; c < w / 2; ++c) {
      row[2 * c] = static_cast<std::uint8_t>(128 + ((c + frame) % 64) - 32);
      row[2 * c + 1] = static_cast<std::uint8_t>(128 + ((r * 2 + frame) % 48) - 24);
    }
  }
}

inline PixelBufferRef patternFrame(int width, int height, int frame) {
  auto buf = std::make_shared<PixelBuffer>(width, height);
  drawPattern(*buf, frame);
  return buf;
}

}  // namespace qx::test
