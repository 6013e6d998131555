#include "platform/media.h"

#include <cmath>

namespace qx {

double MediaTime::seconds() const {
  if (!isNumeric()) return std::nan("");
  return static_cast<double>(value) / static_cast<double>(timescale);
}

int compare(const MediaTime& a, const MediaTime& b) {
  __extension__ using Wide = __int128;  // value x timescale needs 95 bits
  Wide l = static_cast<Wide>(a.value) * b.timescale;
  Wide r = static_cast<Wide>(b.value) * a.timescale;
  return l < r ? -1 : (l > r ? 1 : 0);
}

MediaTime addSeconds(const MediaTime& a, double seconds) {
  double add = std::trunc(seconds * a.timescale);
  MediaTime r = a;
  r.value = a.value + static_cast<std::int64_t>(add);
  return r;
}

namespace {
int align32(int v) { return (v + 31) & ~31; }
}  // namespace

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      strideY_(align32(width)),
      strideUV_(align32(width + (width & 1))),
      planeOffset1_(static_cast<std::size_t>(strideY_) * static_cast<std::size_t>(height)),
      data_(planeOffset1_ + static_cast<std::size_t>(strideUV_) * static_cast<std::size_t>((height + 1) / 2)) {}

std::size_t bytesPerSample(SampleFormat f) {
  switch (f) {
    case SampleFormat::u8: return 1;
    case SampleFormat::s16: return 2;
    case SampleFormat::s32: return 4;
    case SampleFormat::f32: return 4;
    case SampleFormat::f64: return 8;
  }
  return 0;
}

}  // namespace qx
