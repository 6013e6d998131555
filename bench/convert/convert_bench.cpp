// Per-frame cost of BGRX -> NV12 BT.709 video range at 1080p, and of the
// same while halving 2160p to 1080p: libswscale against our own kernels.
// Prints milliseconds per frame (median and best of the runs, thread CPU time).

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/linux/x11/nv12_converter.h"

namespace {

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

void run(const char* label, int sw, int sh, int dw, int dh, qx::x11::Nv12Converter::Method method) {
  const auto src = desktopLike(sw, sh);
  qx::x11::Nv12Converter converter(sw, sh, dw, dh, method);
  if (!converter.ok()) {
    std::printf("%-44s unavailable\n", label);
    return;
  }
  qx::PixelBuffer out(dw, dh);
  for (int i = 0; i < 5; ++i) converter.convert(src.data(), sw * 4, out);  // warm caches
  std::vector<double> ms;
  for (int i = 0; i < 60; ++i) {
    const double t0 = threadMs();
    converter.convert(src.data(), sw * 4, out);
    ms.push_back(threadMs() - t0);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %6.2f ms  best %6.2f ms%s\n", label, ms[ms.size() / 2], ms.front(),
              converter.usesKernel() ? "  (own kernel)" : "");
}

}  // namespace

int main() {
  using Method = qx::x11::Nv12Converter::Method;
  run("1920x1080 BGRX->NV12 BT.709, libswscale", 1920, 1080, 1920, 1080, Method::swscale);
  run("1920x1080 BGRX->NV12 BT.709, own kernel", 1920, 1080, 1920, 1080, Method::fastest);
  run("3840x2160 -> 1920x1080 NV12 BT.709, libswscale", 3840, 2160, 1920, 1080, Method::swscale);
  run("3840x2160 -> 1920x1080 NV12 BT.709, own kernel", 3840, 2160, 1920, 1080, Method::fastest);
  return 0;
}
