// Per-frame cost of BGRX -> NV12 BT.709 video range: libswscale against our
// own kernels at the same size, halving, general ratios (fused scaler), and
// the refresh of one window-sized region. Prints milliseconds per frame
// (median and best of the runs, thread CPU time).

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/linux/x11/bgrx_nv12_scale.h"
#include "platform/linux/x11/nv12_converter.h"

namespace {

using Method = qx::x11::Nv12Converter::Method;

double threadMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::vector<std::uint8_t> desktopLike(int w, int h) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  std::uint32_t seed = 1;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p =
          &px[(static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4];
      seed = seed * 1664525u + 1013904223u;
      p[0] = static_cast<std::uint8_t>(x / 8);
      p[1] = static_cast<std::uint8_t>(y / 5);
      p[2] = static_cast<std::uint8_t>((seed >> 24) & 0x3f);
      p[3] = 0;
    }
  }
  return px;
}

void report(const char* label, const std::function<void()>& once) {
  for (int i = 0; i < 5; ++i) once();  // warm caches
  std::vector<double> ms;
  for (int i = 0; i < 60; ++i) {
    const double t0 = threadMs();
    once();
    ms.push_back(threadMs() - t0);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-52s median %6.2f ms  best %6.2f ms\n", label, ms[ms.size() / 2], ms.front());
}

// Whole frames through Nv12Converter, libswscale and then our own kernel.
void compare(int sw, int sh, int dw, int dh) {
  const auto src = desktopLike(sw, sh);
  qx::PixelBuffer out(dw, dh);
  for (const Method method : {Method::swscale, Method::fastest}) {
    qx::x11::Nv12Converter converter(sw, sh, dw, dh, method);
    char label[96];
    std::snprintf(label, sizeof label, "%dx%d -> %dx%d, %s", sw, sh, dw, dh,
                  method == Method::swscale ? "libswscale" : (converter.usesKernel() ? "own kernel" : "fallback"));
    if (!converter.ok()) {
      std::printf("%-52s unavailable\n", label);
      continue;
    }
    report(label, [&] { converter.convert(src.data(), sw * 4, out); });
  }
}

// The fused scaler alone, for ratios another kernel normally takes.
void fused(int sw, int sh, int dw, int dh) {
  const auto src = desktopLike(sw, sh);
  qx::PixelBuffer out(dw, dh);
  qx::x11::BgrxNv12Scaler scaler(sw, sh, dw, dh);
  char label[96];
  std::snprintf(label, sizeof label, "%dx%d -> %dx%d, fused scaler", sw, sh, dw, dh);
  report(label, [&] {
    scaler.convert(src.data(), sw * 4, out.plane(0), out.stride(0), out.plane(1), out.stride(1), {0, 0, dw, dh});
  });
}

// One 400x300 window's worth of change refreshed with convertRect.
void region(int sw, int sh, int dw, int dh) {
  const auto src = desktopLike(sw, sh);
  qx::PixelBuffer out(dw, dh);
  qx::x11::Nv12Converter converter(sw, sh, dw, dh);
  const qx::x11::PixelRect changed{sw / 3 + 1, sh / 3 + 1, 400, 300};
  const qx::x11::PixelRect rect = converter.destinationFor(changed);
  char label[96];
  std::snprintf(label, sizeof label, "%dx%d -> %dx%d, 400x300 region (%dx%d out)", sw, sh, dw, dh, rect.width,
                rect.height);
  report(label, [&] { converter.convertRect(src.data(), sw * 4, out, rect); });
}

}  // namespace

int main() {
  compare(1920, 1080, 1920, 1080);
  compare(3840, 2160, 1920, 1080);
  fused(3840, 2160, 1920, 1080);
  compare(2560, 1440, 1920, 1080);
  compare(1920, 1080, 1280, 720);
  compare(3840, 2160, 2560, 1440);
  compare(1280, 720, 1920, 1080);
  region(1920, 1080, 1920, 1080);
  region(2560, 1440, 1920, 1080);
  return 0;
}
