#include "bench/pipeline/content.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace qx::bench {

namespace {

constexpr std::uint32_t kWhite = 0xffffff;
constexpr std::uint32_t kBlack = 0x000000;

std::uint32_t* rowOf(std::uint8_t* bgrx, int stride, int y) {
  return reinterpret_cast<std::uint32_t*>(bgrx + static_cast<std::ptrdiff_t>(y) * stride);
}

// BGRX on a little-endian server is 0x00RRGGBB per 32-bit pixel.
void fill(std::uint8_t* bgrx, int stride, Rect r, std::uint32_t rgb) {
  for (int y = r.y; y < r.y + r.height; ++y) std::fill_n(rowOf(bgrx, stride, y) + r.x, r.width, rgb);
}

using x11::boundingBox;
using x11::intersection;

std::uint32_t hash32(std::uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352du;
  v ^= v >> 15;
  v *= 0x846ca68bu;
  v ^= v >> 16;
  return v;
}

std::uint32_t hash2(int x, int y, std::uint32_t seed) {
  return hash32(static_cast<std::uint32_t>(x) * 0x9e3779b1u ^ hash32(static_cast<std::uint32_t>(y) + seed));
}

std::uint32_t rgb(double r, double g, double b) {
  auto c = [](double v) { return static_cast<std::uint32_t>(std::clamp(v, 0.0, 255.0)); };
  return c(r) << 16 | c(g) << 8 | c(b);
}

// Sizes below are for a 1920-wide picture; larger pictures scale them by a whole factor.
int scaleOf(int width) { return std::max(1, width / 1920); }

// Windows moving over a busy background, and a text editor being typed into
// at 30 characters a second; the editor is cleared when full.
class DesktopContent final : public Content {
 public:
  DesktopContent(int width, int height)
      : Content(width, height, width, height),
        s_(scaleOf(width)),
        background_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {}

 private:
  static constexpr int kWindowW = 320, kWindowH = 240;
  static constexpr Rect kEditor{60, 760, 1200, 280};
  static constexpr Rect kText{72, 792, 1176, 240};
  static constexpr int kCellW = 12, kCellH = 20;

  Rect scaled(Rect r) const { return {r.x * s_, r.y * s_, r.width * s_, r.height * s_}; }
  Rect windowAt(int n) const { return scaled({(n * 23) % (1920 - kWindowW), 200 + (n * 7) % 500, kWindowW, kWindowH}); }
  std::uint8_t* bg() { return background_.data(); }
  int bgStride() const { return width() * 4; }

  std::vector<Rect> step(int n) override {
    const Rect counter = frame_counter::area(width());
    if (n == 0) {
      paintBackground();
      const Rect all{0, 0, width(), height()};
      compose(all, n);
      frame_counter::stamp(buffer(), stride(), width(), n);
      return {all};
    }
    std::vector<Rect> changed;
    const Rect was = windowAt(n - 1), now = windowAt(n);
    if (intersection(was, now).empty()) {
      changed = {was, now};
    } else {
      changed = {boundingBox(was, now)};
    }
    const int glyph = n - 1;
    const int cells = (kText.width / kCellW) * (kText.height / kCellH);
    if (glyph > 0 && glyph % cells == 0) {
      fill(bg(), bgStride(), scaled(kText), 0xf4f4f4);
      changed.push_back(scaled(kText));
    }
    if (const Rect cell = typeGlyph(glyph % cells, glyph); !cell.empty()) changed.push_back(cell);
    for (const Rect& r : changed) compose(r, n);
    frame_counter::stamp(buffer(), stride(), width(), n);
    changed.push_back(counter);
    return changed;
  }

  void paintBackground() {
    fill(bg(), bgStride(), {0, 0, width(), height()}, 0x203040);
    std::uint32_t seed = 7;
    for (int i = 0; i < 3000; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const Rect r = scaled({static_cast<int>(seed % 1920), static_cast<int>((seed >> 11) % 1080),
                             8 + static_cast<int>(seed >> 27), 6 + static_cast<int>((seed >> 22) & 15)});
      fill(bg(), bgStride(), intersection(r, {0, 0, width(), height()}), (seed >> 8) & 0xffffff);
    }
    fill(bg(), bgStride(), scaled(kEditor), 0xf4f4f4);
    fill(bg(), bgStride(), scaled({kEditor.x, kEditor.y, kEditor.width, 24}), 0x3c4a5a);
  }

  // Draws character `index` into text cell `cell` of the background; returns
  // the cell, or nothing for a space.
  Rect typeGlyph(int cell, int index) {
    const int cols = kText.width / kCellW;
    const Rect box = scaled({kText.x + (cell % cols) * kCellW, kText.y + (cell / cols) * kCellH, kCellW, kCellH});
    const std::uint32_t h = hash32(static_cast<std::uint32_t>(index) + 0x51ed27u);
    if (h % 6 == 0) return {};
    const std::uint32_t ink = (h >> 3) % 5 == 0 ? 0x1a4fa0 : 0x202020;
    const int strokes = 2 + static_cast<int>((h >> 8) % 3);
    for (int i = 0; i < strokes; ++i) {
      const std::uint32_t g = hash32(h + static_cast<std::uint32_t>(i));
      const bool vertical = (g & 1) != 0;
      const int x = 2 + static_cast<int>((g >> 1) % 7), y = 4 + static_cast<int>((g >> 4) % 8);
      const Rect stroke = vertical ? Rect{x, y - 2, 2, 6 + static_cast<int>((g >> 8) % 7)}
                                   : Rect{x - 1, y, 3 + static_cast<int>((g >> 8) % 5), 2};
      fill(bg(), bgStride(),
           intersection({box.x + stroke.x * s_, box.y + stroke.y * s_, stroke.width * s_, stroke.height * s_}, box),
           ink);
    }
    return box;
  }

  // The picture of frame n inside `r`: the background, then the window.
  void compose(Rect r, int n) {
    r = intersection(r, {0, 0, width(), height()});
    for (int y = r.y; y < r.y + r.height; ++y) {
      std::memcpy(buffer() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride()) +
                      static_cast<std::size_t>(r.x) * 4,
                  background_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(bgStride()) +
                      static_cast<std::size_t>(r.x) * 4,
                  static_cast<std::size_t>(r.width) * 4);
    }
    const Rect win = windowAt(n);
    const auto body = static_cast<std::uint32_t>(0xf0c000u ^ static_cast<std::uint32_t>(n * 0x010305)) & 0xffffff;
    fill(buffer(), stride(), intersection(win, r), body);
    fill(buffer(), stride(), intersection({win.x, win.y, win.width, 20 * s_}, r), 0x404850);
    fill(buffer(), stride(), intersection({win.x + 40 * s_, win.y + 60 * s_, 100 * s_, 60 * s_}, r),
         static_cast<std::uint32_t>(n * 0x0a0b0c) & 0xffffff);
  }

  const int s_;
  std::vector<std::uint8_t> background_;
};

// A periodic texture (smooth noise at several scales, sharp shapes, a fine
// grid, grain) panning diagonally, and four boxes moving across it on paths
// of their own, each cycling through pictures of a turning wheel with fresh
// grain, so part of every frame cannot be predicted from motion alone. The
// screen is a window into one large pre-rendered buffer: a frame costs only
// copying the boxes and the counter into it, and one put.
class MotionContent final : public Content {
 public:
  MotionContent(int width, int height)
      : Content(width, height, width + 512 * scaleOf(width), height + 256 * scaleOf(width)),
        s_(scaleOf(width)),
        tileW_(512 * s_),
        tileH_(256 * s_),
        spriteW_(320 * s_),
        spriteH_(240 * s_) {
    renderTile();
    for (int y = 0; y < bufferHeight(); ++y) restoreRow(y, 0, bufferWidth());
    for (int v = 0; v < kVariants; ++v) renderSprite(v);
  }

 private:
  static constexpr int kSprites = 4, kVariants = 16;

  std::vector<Rect> step(int n) override {
    for (const Rect& r : drawn_) restore(r);
    drawn_.clear();
    const int ox = (n * 8 * s_) % tileW_, oy = (n * 4 * s_) % tileH_;
    setOrigin(ox, oy);
    std::uint8_t* at =
        buffer() +
        (static_cast<std::size_t>(oy) * static_cast<std::size_t>(bufferWidth()) + static_cast<std::size_t>(ox)) * 4;
    const int top = frame_counter::area(width()).height;
    for (int k = 0; k < kSprites; ++k) {
      const double fx = 0.05 + 0.013 * k, fy = 0.037 + 0.011 * k, phase = 1.7 * k;
      const int sx = static_cast<int>((width() - spriteW_) / 2.0 * (1.0 + std::sin(n * fx + phase)));
      const int sy = top + static_cast<int>((height() - top - spriteH_) / 2.0 * (1.0 + std::sin(n * fy + 2 * phase)));
      const std::uint32_t* sprite =
          sprites_.data() + static_cast<std::size_t>((n + 5 * k) % kVariants) * spriteW_ * spriteH_;
      for (int y = 0; y < spriteH_; ++y) {
        std::memcpy(rowOf(at, stride(), sy + y) + sx, sprite + static_cast<std::size_t>(y) * spriteW_,
                    static_cast<std::size_t>(spriteW_) * 4);
      }
      const int bar = (spriteW_ - 40 * s_) * ((n + 16 * k) % 64) / 63;
      fill(at, stride(), {sx + 20 * s_, sy + spriteH_ - 30 * s_, bar, 12 * s_}, 0x20e040);
      drawn_.push_back({ox + sx, oy + sy, spriteW_, spriteH_});
    }
    frame_counter::stamp(at, stride(), width(), n);
    const Rect counter = frame_counter::area(width());
    drawn_.push_back({ox, oy, counter.width, counter.height});
    return {{0, 0, width(), height()}};
  }

  // Periodic smooth noise: lattice values interpolated with smoothstep, the
  // lattice wrapping with the tile.
  double noise(int x, int y, int cell, std::uint32_t seed) const {
    const int nx = tileW_ / cell, ny = tileH_ / cell;
    const int gx = x / cell, gy = y / cell;
    auto smooth = [](double t) { return t * t * (3 - 2 * t); };
    const double fx = smooth(static_cast<double>(x % cell) / cell), fy = smooth(static_cast<double>(y % cell) / cell);
    auto at = [&](int i, int j) { return static_cast<double>(hash2(i % nx, j % ny, seed) & 0xffff) / 65535.0; };
    const double top = at(gx, gy) * (1 - fx) + at(gx + 1, gy) * fx;
    const double bottom = at(gx, gy + 1) * (1 - fx) + at(gx + 1, gy + 1) * fx;
    return top * (1 - fy) + bottom * fy;
  }

  void renderTile() {
    tile_.resize(static_cast<std::size_t>(tileW_) * static_cast<std::size_t>(tileH_));
    for (int y = 0; y < tileH_; ++y) {
      for (int x = 0; x < tileW_; ++x) {
        double luma = 0, amplitude = 0.5;
        for (int cell = 128 * s_; cell >= 8 * s_; cell /= 2, amplitude /= 2) luma += amplitude * noise(x, y, cell, 1);
        const double hue = noise(x, y, 256 * s_, 2) * 6.283;
        const double grain = static_cast<double>(hash2(x, y, 3) % 9) - 4.0;
        const double v = 40 + 190 * luma;
        tile_[static_cast<std::size_t>(y) * tileW_ + x] =
            rgb(v * (0.75 + 0.25 * std::cos(hue)) + grain, v * (0.75 + 0.25 * std::cos(hue - 2.09)) + grain,
                v * (0.75 + 0.25 * std::cos(hue + 2.09)) + grain);
      }
    }
    // Sharp-edged discs and bars, wrapping around the tile edges.
    for (std::uint32_t i = 0; i < 48; ++i) {
      const std::uint32_t h = hash32(i + 100);
      const int cx = static_cast<int>(h % tileW_), cy = static_cast<int>((h >> 9) % tileH_);
      const int radius = (6 + static_cast<int>((h >> 20) % 28)) * s_;
      const std::uint32_t colour = hash32(h) & 0xffffff;
      const bool disc = (h & 1) != 0;
      for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
          if (disc ? dx * dx + dy * dy > radius * radius : std::abs(dy) > radius / 3) continue;
          const int x = ((cx + dx) % tileW_ + tileW_) % tileW_, y = ((cy + dy) % tileH_ + tileH_) % tileH_;
          tile_[static_cast<std::size_t>(y) * tileW_ + x] = colour;
        }
      }
    }
    for (int y = 0; y < tileH_; ++y) {
      for (int x = 0; x < tileW_; ++x) {
        if (x % (64 * s_) == 0 || y % (64 * s_) == 0) tile_[static_cast<std::size_t>(y) * tileW_ + x] = 0x101010;
      }
    }
  }

  // Variant v of the boxes' picture: rings, a wheel turned by v, a checker
  // corner, and grain that differs between variants.
  void renderSprite(int v) {
    sprites_.resize(static_cast<std::size_t>(kVariants) * spriteW_ * spriteH_);
    std::uint32_t* out = sprites_.data() + static_cast<std::size_t>(v) * spriteW_ * spriteH_;
    const double turn = v * 6.283 / kVariants / 6;
    for (int y = 0; y < spriteH_; ++y) {
      for (int x = 0; x < spriteW_; ++x) {
        const double dx = x - spriteW_ / 2.0, dy = y - spriteH_ / 2.0;
        const double radius = std::sqrt(dx * dx + dy * dy) / s_;
        const double angle = std::atan2(dy, dx) + turn;
        double r = 240, g = 240, b = 224;
        if (static_cast<int>(radius / 10) % 2) r = 224, g = 48, b = 48;
        if (radius < 100 && static_cast<int>(std::floor(angle * 6 / 3.1416)) % 2 == 0) r = 40, g = 60, b = 200;
        if (x < 96 * s_ && y < 96 * s_ && ((x / (16 * s_)) + (y / (16 * s_))) % 2) r = 16, g = 48, b = 192;
        const double grain = static_cast<double>(hash2(x, y, 10 + static_cast<std::uint32_t>(v)) % 25) - 12.0;
        std::uint32_t c = rgb(r + grain, g + grain, b + grain);
        if (x < 4 * s_ || y < 4 * s_ || x >= spriteW_ - 4 * s_ || y >= spriteH_ - 4 * s_) c = 0xffffff;
        out[static_cast<std::size_t>(y) * spriteW_ + x] = c;
      }
    }
  }

  // Buffer pixels [x0, x1) of row y from the tile.
  void restoreRow(int y, int x0, int x1) {
    std::uint32_t* row = rowOf(buffer(), bufferWidth() * 4, y);
    const std::uint32_t* src = tile_.data() + static_cast<std::size_t>(y % tileH_) * tileW_;
    for (int x = x0; x < x1;) {
      const int in = x % tileW_, run = std::min(x1 - x, tileW_ - in);
      std::memcpy(row + x, src + in, static_cast<std::size_t>(run) * 4);
      x += run;
    }
  }
  void restore(Rect r) {
    for (int y = r.y; y < r.y + r.height; ++y) restoreRow(y, r.x, r.x + r.width);
  }

  const int s_;
  const int tileW_, tileH_;
  const int spriteW_, spriteH_;
  std::vector<std::uint32_t> tile_;
  std::vector<std::uint32_t> sprites_;  // kVariants pictures of spriteW_ x spriteH_
  std::vector<Rect> drawn_;             // in the buffer, to restore before the next frame
};

}  // namespace

SharedPixels::SharedPixels(std::size_t bytes) : size_(bytes) {
  id_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id_ < 0) throw std::runtime_error("shmget failed");
  void* at = shmat(id_, nullptr, 0);
  if (at == reinterpret_cast<void*>(-1)) {
    shmctl(id_, IPC_RMID, nullptr);
    throw std::runtime_error("shmat failed");
  }
  data_ = static_cast<std::uint8_t*>(at);
}

SharedPixels::~SharedPixels() {
  shmdt(data_);
  release();
}

void SharedPixels::release() {
  if (!released_) shmctl(id_, IPC_RMID, nullptr);
  released_ = true;
}

namespace frame_counter {

Rect area(int pictureWidth) {
  const int block = kBlock * scaleOf(pictureWidth);
  return {0, 0, kBits * block, 2 * block};
}

void stamp(std::uint8_t* bgrx, int stride, int pictureWidth, int value) {
  const int block = kBlock * scaleOf(pictureWidth);
  for (int i = 0; i < kBits; ++i) {
    const bool one = ((value >> (kBits - 1 - i)) & 1) != 0;
    fill(bgrx, stride, {i * block, 0, block, block}, one ? kWhite : kBlack);
    fill(bgrx, stride, {i * block, block, block, block}, one ? kBlack : kWhite);
  }
}

std::optional<int> read(const std::uint8_t* luma, int stride, int width, int height) {
  const int block = kBlock * width / 1920;
  if (block < 8 || 2 * block > height) return std::nullopt;
  // The middle of each block, away from ringing at its edges.
  auto mean = [&](int bx, int by) {
    int sum = 0, count = 0;
    for (int y = by * block + block / 4; y < by * block + 3 * block / 4; ++y) {
      for (int x = bx * block + block / 4; x < bx * block + 3 * block / 4; ++x, ++count) {
        sum += luma[static_cast<std::ptrdiff_t>(y) * stride + x];
      }
    }
    return sum / count;
  };
  int value = 0;
  for (int i = 0; i < kBits; ++i) {
    const int bit = mean(i, 0), complement = mean(i, 1);
    if (std::abs(bit - complement) < 64) return std::nullopt;
    value = value << 1 | (bit > complement ? 1 : 0);
  }
  return value;
}

}  // namespace frame_counter

Content::Content(int width, int height, int bufferWidth, int bufferHeight)
    : width_(width),
      height_(height),
      bufferWidth_(bufferWidth),
      bufferHeight_(bufferHeight),
      memory_(std::make_unique<SharedPixels>(static_cast<std::size_t>(bufferWidth) *
                                             static_cast<std::size_t>(bufferHeight) * 4)) {
  setOrigin(0, 0);
}

void Content::setOrigin(int x, int y) {
  originX_ = x;
  originY_ = y;
  stride_ = bufferWidth_ * 4;
  pixels_ = memory_->data() +
            (static_cast<std::size_t>(y) * static_cast<std::size_t>(bufferWidth_) + static_cast<std::size_t>(x)) * 4;
}

std::vector<Rect> Content::advanceTo(int n) {
  std::vector<Rect> changed;
  Rect counter;
  while (frame_ < n) {
    std::vector<Rect> step = this->step(++frame_);
    if (step.size() > 1) {
      counter = step.back();
      step.pop_back();
    }
    changed.insert(changed.end(), step.begin(), step.end());
  }
  if (!counter.empty()) changed.push_back(counter);
  return changed;
}

std::unique_ptr<Content> makeContent(ContentKind kind, int width, int height) {
  if (kind == ContentKind::desktop) return std::make_unique<DesktopContent>(width, height);
  return std::make_unique<MotionContent>(width, height);
}

const char* contentName(ContentKind kind) { return kind == ContentKind::desktop ? "desktop-like" : "full motion"; }

}  // namespace qx::bench
