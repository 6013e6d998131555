#pragma once

#include <cstdint>

namespace qx::x11 {

// Which code to run: AVX2 where the CPU has it, or the plain loops. Both give
// the same bytes; tests compare them.
enum class SimdPath { best, baseline };

// True when `path` allows AVX2 and the CPU has it (checked once; no ifunc,
// whose resolvers run before sanitizer runtimes are ready).
bool useAvx2(SimdPath path);

// BT.709 in fixed point with 15 fraction bits, so that the coefficients fit
// 16-bit lanes. Video range scales luma by 219/255 and chroma by 224/255.
namespace bt709 {
constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;
constexpr double kYScale = 219.0 / 255.0;
constexpr double kCScale = 224.0 / 255.0;

constexpr std::int32_t fixed(double v) { return static_cast<std::int32_t>(v * 32768.0 + (v < 0 ? -0.5 : 0.5)); }

constexpr std::int32_t kYR = fixed(kKr * kYScale);
constexpr std::int32_t kYG = fixed(kKg * kYScale);
constexpr std::int32_t kYB = fixed(kKb * kYScale);
constexpr std::int32_t kCbR = fixed(-kKr / (2 * (1 - kKb)) * kCScale);
constexpr std::int32_t kCbG = fixed(-kKg / (2 * (1 - kKb)) * kCScale);
constexpr std::int32_t kCbB = fixed(0.5 * kCScale);
constexpr std::int32_t kCrR = fixed(0.5 * kCScale);
constexpr std::int32_t kCrG = fixed(-kKg / (2 * (1 - kKr)) * kCScale);
constexpr std::int32_t kCrB = fixed(-kKb / (2 * (1 - kKr)) * kCScale);

// Offset plus rounding half for results carrying `bits` fraction bits.
constexpr std::int32_t yOffset(int bits) { return (16 << bits) + (1 << (bits - 1)); }
constexpr std::int32_t cOffset(int bits) { return (128 << bits) + (1 << (bits - 1)); }
}  // namespace bt709

// BGRX (full range) to NV12, BT.709 video range, same size, no scaling.
// `width` and `height` must be even and positive. Chroma is the mean of each
// 2x2 block. Matches libswscale's BT.709 output within 1 on luma and on
// chroma of flat areas, in a fraction of its time. Each output pixel depends
// only on its own source pixel (chroma: its 2x2 block), so offsetting the
// pointers converts any even-edged rectangle.
void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY, int dstYStride,
                     std::uint8_t* dstUV, int dstUVStride, SimdPath path = SimdPath::best);

// The same, halving both dimensions: `width` and `height` are the output
// size (even); the source is exactly twice as wide and high. Each output
// pixel averages its 2x2 source block, each chroma sample its 4x4 block.
void bgrxToNv12Bt709Half(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY,
                         int dstYStride, std::uint8_t* dstUV, int dstUVStride, SimdPath path = SimdPath::best);

}  // namespace qx::x11
