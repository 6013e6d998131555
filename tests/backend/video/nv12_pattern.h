#pragma once

#include <cmath>
#include <cstdint>
#include <memory>

#include "platform/media.h"

namespace qx::test {

// A moving NV12 picture with more detail than any screen: a diagonal
// gradient scrolling right, a bright box moving across it, and a band of
// fine pseudo-random texture scrolling down, the bottom eighth of it new in
// every frame, so every frame has detail the encoder must spend bits on.
// Deterministic for (size, frame).
inline void drawNoisyPattern(PixelBuffer& buf, int frame) {
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

namespace detail {

inline std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  return x ^ (x >> 16);
}

// A glyph-like shape in a 7x11 box from segment bits of `code`: sharp
// one- and two-pixel strokes like rendered text, never smooth.
inline bool glyphInk(std::uint32_t code, int gx, int gy) {
  const bool left = gx <= 1, right = gx >= 5, middle = gx == 3;
  const bool top = gy <= 1, centre = gy == 5, bottom = gy >= 9, upper = gy < 5;
  return ((code & 1u) && left && (upper || (code & 64u))) || ((code & 2u) && right && (!upper || (code & 128u))) ||
         ((code & 4u) && top) || ((code & 8u) && centre) || ((code & 16u) && bottom) ||
         ((code & 32u) && middle && gy >= 2) || ((code & 256u) && gx == (gy * 6) / 10);
}

}  // namespace detail

// A moving NV12 picture like a busy desktop: a text editor window whose text
// scrolls up three pixels a frame (sharp glyph strokes with a grey fringe on
// white, lines of varying length, words in syntax colours), a second window with a colour gradient and a title bar
// sliding diagonally over a plain background, and a cursor-sized square on a
// curved path. Everything that changes is motion of existing content, as on
// a screen; nothing is fresh noise. Deterministic for (size, frame).
inline void drawScreenPattern(PixelBuffer& buf, int frame) {
  const int w = buf.width();
  const int h = buf.height();
  std::uint8_t* y = buf.plane(0);
  std::uint8_t* uv = buf.plane(1);
  const int sy = buf.stride(0);
  const int suv = buf.stride(1);

  // Editor: left half, most of the height.
  const int edX0 = w / 24, edX1 = w / 24 + w * 9 / 16, edY0 = h / 12, edY1 = h * 11 / 12;
  constexpr int kCellW = 9, kCellH = 16, kTitle = 24;
  const int scroll = frame * 3;
  // Gradient window: a third of the width, bouncing between the edges.
  const int gw = w / 3, gh = h / 3;
  const auto bounce = [](int pos, int span) {
    if (span <= 0) return 0;
    const int period = 2 * span;
    const int m = pos % period;
    return m < span ? m : period - m;
  };
  const int gX = bounce(frame * 7 + w / 2, w - gw), gY = bounce(frame * 3 + h / 4, h - gh);
  // Cursor: 16x16 on a Lissajous-like path.
  const int cX = static_cast<int>((w - 16) * (0.5 + 0.45 * std::sin(frame * 0.07)));
  const int cY = static_cast<int>((h - 16) * (0.5 + 0.45 * std::sin(frame * 0.05 + 1.0)));

  const auto luma = [&](int c, int r) -> int {
    if (c >= cX && c < cX + 16 && r >= cY && r < cY + 16) return (c - cX) <= (r - cY) ? 235 : 16;
    if (c >= gX && c < gX + gw && r >= gY && r < gY + gh) {
      if (r < gY + kTitle) return (c - gX) % 40 < 30 ? 90 : 200;  // title bar with "buttons"
      return 40 + (c - gX) * 150 / gw + (r - gY) * 40 / gh;
    }
    if (c >= edX0 && c < edX1 && r >= edY0 && r < edY1) {
      if (r < edY0 + kTitle) return 70;
      const int ty = r - edY0 - kTitle + scroll;
      const int line = ty / kCellH;
      const int col = (c - edX0 - 6) / kCellW;
      const std::uint32_t lineHash = detail::mix(static_cast<std::uint32_t>(line) * 2654435761u);
      const int length = static_cast<int>(lineHash % 90u) - 10;  // some lines empty
      const int indent = static_cast<int>((lineHash >> 8) % 4u) * 4;
      if (c - edX0 < 6 || col < indent || col >= length) return 235;
      const std::uint32_t code = detail::mix(static_cast<std::uint32_t>(line * 131 + col));
      if (code % 7u == 0) return 235;  // a space
      const int gx = (c - edX0 - 6) % kCellW - 1, gy = ty % kCellH - 3;
      if (gx < 0 || gx > 7 || gy < 0 || gy > 10) return 235;
      if (gx <= 6 && detail::glyphInk(code >> 3, gx, gy)) return 30;
      // The grey fringe of smoothed text, right of each stroke.
      return gx >= 1 && detail::glyphInk(code >> 3, gx - 1, gy) ? 150 : 235;
    }
    return 60 + r * 30 / h;  // desktop background
  };
  for (int r = 0; r < h; ++r) {
    std::uint8_t* row = y + static_cast<std::ptrdiff_t>(r) * sy;
    for (int c = 0; c < w; ++c) row[c] = static_cast<std::uint8_t>(luma(c, r));
  }
  const auto inked = [&](int px, int py) {
    for (int dy = 0; dy < 2; ++dy) {
      for (int dx = 0; dx < 2; ++dx) {
        if (y[static_cast<std::ptrdiff_t>(py + dy) * sy + px + dx] < 200) return true;
      }
    }
    return false;
  };
  for (int r = 0; r < h / 2; ++r) {
    std::uint8_t* row = uv + static_cast<std::ptrdiff_t>(r) * suv;
    for (int c = 0; c < w / 2; ++c) {
      const int px = c * 2, py = r * 2;
      int u = 150, v = 115;  // bluish desktop
      const bool inEditorText = px >= edX0 && px < edX1 && py >= edY0 + kTitle && py < edY1 &&
                                !(px >= gX && px < gX + gw && py >= gY && py < gY + gh) &&
                                !(px >= cX && px < cX + 16 && py >= cY && py < cY + 16);
      if (inEditorText && inked(px, py)) {
        // Highlighted syntax: each word of a line in one of four colours.
        const int line = (py - edY0 - kTitle + scroll) / kCellH;
        const int word = (px - edX0) / (kCellW * 6);
        switch (detail::mix(static_cast<std::uint32_t>(line * 977 + word)) % 4u) {
          case 0:
            u = 128;
            v = 128;
            break;
          case 1:
            u = 170;
            v = 110;
            break;  // blue
          case 2:
            u = 100;
            v = 170;
            break;  // red
          default:
            u = 90;
            v = 100;
            break;  // green
        }
      } else if (px >= gX && px < gX + gw && py >= gY + kTitle && py < gY + gh) {
        u = 128 + (px - gX) * 80 / gw - 40;
        v = 128 + (py - gY) * 60 / gh - 30;
      } else if ((px >= gX && px < gX + gw && py >= gY && py < gY + gh) ||
                 (px >= edX0 && px < edX1 && py >= edY0 && py < edY1) ||
                 (px >= cX && px < cX + 16 && py >= cY && py < cY + 16)) {
        u = 128;
        v = 128;
      }
      row[2 * c] = static_cast<std::uint8_t>(u);
      row[2 * c + 1] = static_cast<std::uint8_t>(v);
    }
  }
}

enum class Pattern { screen, noisy };

inline PixelBufferRef patternFrame(int width, int height, int frame, Pattern pattern = Pattern::noisy) {
  auto buf = std::make_shared<PixelBuffer>(width, height);
  if (pattern == Pattern::screen) {
    drawScreenPattern(*buf, frame);
  } else {
    drawNoisyPattern(*buf, frame);
  }
  return buf;
}

}  // namespace qx::test
