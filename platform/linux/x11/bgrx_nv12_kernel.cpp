#include "platform/linux/x11/bgrx_nv12_kernel.h"

namespace qx::x11 {

namespace {

// BT.709: Kr = 0.2126, Kb = 0.0722; video range scales luma by 219/255 and
// chroma by 224/255. Fixed point with 16 fraction bits.
constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;
constexpr double kYScale = 219.0 / 255.0;
constexpr double kCScale = 224.0 / 255.0;

constexpr std::int32_t fixed(double v) { return static_cast<std::int32_t>(v * 65536.0 + (v < 0 ? -0.5 : 0.5)); }

constexpr std::int32_t kYR = fixed(kKr * kYScale);
constexpr std::int32_t kYG = fixed(kKg * kYScale);
constexpr std::int32_t kYB = fixed(kKb * kYScale);
constexpr std::int32_t kCbR = fixed(-kKr / (2 * (1 - kKb)) * kCScale);
constexpr std::int32_t kCbG = fixed(-kKg / (2 * (1 - kKb)) * kCScale);
constexpr std::int32_t kCbB = fixed(0.5 * kCScale);
constexpr std::int32_t kCrR = fixed(0.5 * kCScale);
constexpr std::int32_t kCrG = fixed(-kKg / (2 * (1 - kKr)) * kCScale);
constexpr std::int32_t kCrB = fixed(-kKb / (2 * (1 - kKr)) * kCScale);

constexpr std::int32_t kYOffset = (16 << 16) + (1 << 15);
// Chroma works on sums of four pixels: two more fraction bits.
constexpr std::int32_t kCOffset = (128 << 18) + (1 << 17);

// Plain loops the compiler vectorises, compiled twice: for AVX2 and for the
// baseline. Chosen at run time; no ifunc, whose resolvers run before
// sanitizer runtimes are ready.
[[gnu::always_inline]] inline void lumaRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict y, int width) {
  for (int x = 0; x < width; ++x) {
    const std::int32_t b = s[4 * x], g = s[4 * x + 1], r = s[4 * x + 2];
    y[x] = static_cast<std::uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset) >> 16);
  }
}

[[gnu::always_inline]] inline void chromaRow(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                             std::uint8_t* __restrict uv, int pairs) {
  for (int x = 0; x < pairs; ++x) {
    const std::int32_t b = s0[8 * x] + s0[8 * x + 4] + s1[8 * x] + s1[8 * x + 4];
    const std::int32_t g = s0[8 * x + 1] + s0[8 * x + 5] + s1[8 * x + 1] + s1[8 * x + 5];
    const std::int32_t r = s0[8 * x + 2] + s0[8 * x + 6] + s1[8 * x + 2] + s1[8 * x + 6];
    uv[2 * x] = static_cast<std::uint8_t>((kCbR * r + kCbG * g + kCbB * b + kCOffset) >> 18);
    uv[2 * x + 1] = static_cast<std::uint8_t>((kCrR * r + kCrG * g + kCrB * b + kCOffset) >> 18);
  }
}

[[gnu::always_inline]] inline void convertRows(const std::uint8_t* src, int srcStride, int width, int height,
                                               std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV,
                                               int dstUVStride) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    lumaRow(s0, dstY + static_cast<std::ptrdiff_t>(row) * dstYStride, width);
    lumaRow(s1, dstY + static_cast<std::ptrdiff_t>(row + 1) * dstYStride, width);
    chromaRow(s0, s1, dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride, width / 2);
  }
}

// Halving: each output pixel is the mean of a 2x2 source block, each chroma
// sample the mean of a 4x4 block (area averaging; exact 2:1 only).
constexpr std::int32_t kYOffset4 = (16 << 18) + (1 << 17);
constexpr std::int32_t kCOffset16 = (128 << 20) + (1 << 19);

[[gnu::always_inline]] inline void lumaRowHalf(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                               std::uint8_t* __restrict y, int width) {
  for (int x = 0; x < width; ++x) {
    const std::int32_t b = s0[8 * x] + s0[8 * x + 4] + s1[8 * x] + s1[8 * x + 4];
    const std::int32_t g = s0[8 * x + 1] + s0[8 * x + 5] + s1[8 * x + 1] + s1[8 * x + 5];
    const std::int32_t r = s0[8 * x + 2] + s0[8 * x + 6] + s1[8 * x + 2] + s1[8 * x + 6];
    y[x] = static_cast<std::uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset4) >> 18);
  }
}

[[gnu::always_inline]] inline std::int32_t sum4(const std::uint8_t* s, int x, int c) {
  return s[16 * x + c] + s[16 * x + 4 + c] + s[16 * x + 8 + c] + s[16 * x + 12 + c];
}

[[gnu::always_inline]] inline void chromaRowHalf(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                                 const std::uint8_t* __restrict s2, const std::uint8_t* __restrict s3,
                                                 std::uint8_t* __restrict uv, int pairs) {
  for (int x = 0; x < pairs; ++x) {
    const std::int32_t b = sum4(s0, x, 0) + sum4(s1, x, 0) + sum4(s2, x, 0) + sum4(s3, x, 0);
    const std::int32_t g = sum4(s0, x, 1) + sum4(s1, x, 1) + sum4(s2, x, 1) + sum4(s3, x, 1);
    const std::int32_t r = sum4(s0, x, 2) + sum4(s1, x, 2) + sum4(s2, x, 2) + sum4(s3, x, 2);
    uv[2 * x] = static_cast<std::uint8_t>((kCbR * r + kCbG * g + kCbB * b + kCOffset16) >> 20);
    uv[2 * x + 1] = static_cast<std::uint8_t>((kCrR * r + kCrG * g + kCrB * b + kCOffset16) >> 20);
  }
}

// `width` and `height` are the output size.
[[gnu::always_inline]] inline void halveRows(const std::uint8_t* src, int srcStride, int width, int height,
                                             std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV,
                                             int dstUVStride) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(2 * row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    const std::uint8_t* s2 = s1 + srcStride;
    const std::uint8_t* s3 = s2 + srcStride;
    lumaRowHalf(s0, s1, dstY + static_cast<std::ptrdiff_t>(row) * dstYStride, width);
    lumaRowHalf(s2, s3, dstY + static_cast<std::ptrdiff_t>(row + 1) * dstYStride, width);
    chromaRowHalf(s0, s1, s2, s3, dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride, width / 2);
  }
}

[[gnu::target("avx2")]] void halveAvx2(const std::uint8_t* src, int srcStride, int width, int height,
                                       std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  halveRows(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
}

void halveBaseline(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY, int dstYStride,
                   std::uint8_t* dstUV, int dstUVStride) {
  halveRows(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
}

bool hasAvx2() {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}

[[gnu::target("avx2")]] void convertAvx2(const std::uint8_t* src, int srcStride, int width, int height,
                                         std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  convertRows(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
}

void convertBaseline(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY,
                     int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  convertRows(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
}

}  // namespace

void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY,
                     int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  if (hasAvx2()) {
    convertAvx2(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  } else {
    convertBaseline(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  }
}

void bgrxToNv12Bt709Half(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY,
                         int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  if (hasAvx2()) {
    halveAvx2(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  } else {
    halveBaseline(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  }
}

}  // namespace qx::x11
