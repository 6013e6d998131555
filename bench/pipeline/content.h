#pragma once

// Source pictures for the pipeline bench, rendered in memory so every frame
// put on screen is known afterwards: a desktop-like picture (a window moving
// over a busy background, text being typed) and full motion (a textured
// pattern panning under a moving box). Each frame carries its number as a row
// of black and white blocks in the top-left corner.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/x11/pixel_rect.h"

namespace qx::bench {

using Rect = x11::PixelRect;

// A System V shared memory segment, so the X server reads the pixels in place
// (MIT-SHM) instead of them travelling through the socket.
class SharedPixels {
 public:
  explicit SharedPixels(std::size_t bytes);
  ~SharedPixels();
  SharedPixels(const SharedPixels&) = delete;
  SharedPixels& operator=(const SharedPixels&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  int id() const { return id_; }
  // Once the X server has attached it: the segment then goes with the last detach.
  void release();

 private:
  int id_ = -1;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool released_ = false;
};

// The frame number in the picture: bit i (most significant first) is block i
// of the first row, white for 1, and the second row holds the complement, so
// a misread block is caught rather than giving a wrong number.
namespace frame_counter {
inline constexpr int kBits = 16;
// Block side in a 1920-wide picture; scaled with the picture width.
inline constexpr int kBlock = 32;
// Blocks of this size stay on the 16x16 macroblock grid, so each macroblock is
// plain black or white and survives any quantizer.
Rect area(int pictureWidth);
void stamp(std::uint8_t* bgrx, int stride, int pictureWidth, int value);
// From a decoded luma plane; nullopt when any block is not clearly black or
// white against its complement.
std::optional<int> read(const std::uint8_t* luma, int stride, int width, int height);
}  // namespace frame_counter

class Content {
 public:
  virtual ~Content() = default;

  int width() const { return width_; }
  int height() const { return height_; }
  // The frame shown, -1 before the first.
  int frame() const { return frame_; }

  // Brings the picture to frame `n` (later than frame()), stepping through the
  // frames between, and returns the rectangles that changed, the counter's
  // last, so a grab between two puts never shows a number ahead of its picture.
  std::vector<Rect> advanceTo(int n);

  // Pixel (0, 0) of the frame shown and the byte distance between its rows.
  const std::uint8_t* pixels() const { return pixels_; }
  int stride() const { return stride_; }
  // Where the frame lies in memory(), for puts straight from it.
  SharedPixels& memory() const { return *memory_; }
  int originX() const { return originX_; }
  int originY() const { return originY_; }
  int bufferWidth() const { return bufferWidth_; }
  int bufferHeight() const { return bufferHeight_; }

 protected:
  Content(int width, int height, int bufferWidth, int bufferHeight);
  // Draws frame n over frame n - 1 (n == 0: the first, whole picture) and
  // returns what changed, counter last.
  virtual std::vector<Rect> step(int n) = 0;

  std::uint8_t* buffer() const { return memory_->data(); }
  void setOrigin(int x, int y);

 private:
  int width_;
  int height_;
  int bufferWidth_;
  int bufferHeight_;
  std::unique_ptr<SharedPixels> memory_;
  int frame_ = -1;
  int originX_ = 0;
  int originY_ = 0;
  const std::uint8_t* pixels_ = nullptr;
  int stride_ = 0;
};

enum class ContentKind { desktop, motion };

std::unique_ptr<Content> makeContent(ContentKind kind, int width, int height);
const char* contentName(ContentKind kind);

}  // namespace qx::bench
