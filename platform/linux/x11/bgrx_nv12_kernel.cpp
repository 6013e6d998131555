#include "platform/linux/x11/bgrx_nv12_kernel.h"

#include <immintrin.h>

namespace qx::x11 {

namespace {

using namespace bt709;

constexpr std::int32_t kYOffset = yOffset(15);
// Chroma works on sums of four pixels: two more fraction bits.
constexpr std::int32_t kCOffset = cOffset(17);

// Plain loops: the baseline path, and the tails of the AVX2 path. The AVX2
// path is chosen at run time; no ifunc, whose resolvers run before sanitizer
// runtimes are ready.
[[gnu::always_inline]] inline void lumaRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict y, int from,
                                           int width) {
  for (int x = from; x < width; ++x) {
    const std::int32_t b = s[4 * x], g = s[4 * x + 1], r = s[4 * x + 2];
    y[x] = static_cast<std::uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset) >> 15);
  }
}

[[gnu::always_inline]] inline void chromaRow(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                             std::uint8_t* __restrict uv, int from, int pairs) {
  for (int x = from; x < pairs; ++x) {
    const std::int32_t b = s0[8 * x] + s0[8 * x + 4] + s1[8 * x] + s1[8 * x + 4];
    const std::int32_t g = s0[8 * x + 1] + s0[8 * x + 5] + s1[8 * x + 1] + s1[8 * x + 5];
    const std::int32_t r = s0[8 * x + 2] + s0[8 * x + 6] + s1[8 * x + 2] + s1[8 * x + 6];
    uv[2 * x] = static_cast<std::uint8_t>((kCbR * r + kCbG * g + kCbB * b + kCOffset) >> 17);
    uv[2 * x + 1] = static_cast<std::uint8_t>((kCrR * r + kCrG * g + kCrB * b + kCOffset) >> 17);
  }
}

[[gnu::always_inline]] inline void convertRows(const std::uint8_t* src, int srcStride, int width, int height,
                                               std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV,
                                               int dstUVStride) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    lumaRow(s0, dstY + static_cast<std::ptrdiff_t>(row) * dstYStride, 0, width);
    lumaRow(s1, dstY + static_cast<std::ptrdiff_t>(row + 1) * dstYStride, 0, width);
    chromaRow(s0, s1, dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride, 0, width / 2);
  }
}

// Halving: each output pixel is the mean of a 2x2 source block, each chroma
// sample the mean of a 4x4 block (area averaging; exact 2:1 only).
constexpr std::int32_t kYOffset4 = yOffset(17);
constexpr std::int32_t kCOffset16 = cOffset(19);

[[gnu::always_inline]] inline void lumaRowHalf(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                               std::uint8_t* __restrict y, int from, int width) {
  for (int x = from; x < width; ++x) {
    const std::int32_t b = s0[8 * x] + s0[8 * x + 4] + s1[8 * x] + s1[8 * x + 4];
    const std::int32_t g = s0[8 * x + 1] + s0[8 * x + 5] + s1[8 * x + 1] + s1[8 * x + 5];
    const std::int32_t r = s0[8 * x + 2] + s0[8 * x + 6] + s1[8 * x + 2] + s1[8 * x + 6];
    y[x] = static_cast<std::uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset4) >> 17);
  }
}

[[gnu::always_inline]] inline std::int32_t sum4(const std::uint8_t* s, int x, int c) {
  return s[16 * x + c] + s[16 * x + 4 + c] + s[16 * x + 8 + c] + s[16 * x + 12 + c];
}

[[gnu::always_inline]] inline void chromaRowHalf(const std::uint8_t* __restrict s0, const std::uint8_t* __restrict s1,
                                                 const std::uint8_t* __restrict s2, const std::uint8_t* __restrict s3,
                                                 std::uint8_t* __restrict uv, int from, int pairs) {
  for (int x = from; x < pairs; ++x) {
    const std::int32_t b = sum4(s0, x, 0) + sum4(s1, x, 0) + sum4(s2, x, 0) + sum4(s3, x, 0);
    const std::int32_t g = sum4(s0, x, 1) + sum4(s1, x, 1) + sum4(s2, x, 1) + sum4(s3, x, 1);
    const std::int32_t r = sum4(s0, x, 2) + sum4(s1, x, 2) + sum4(s2, x, 2) + sum4(s3, x, 2);
    uv[2 * x] = static_cast<std::uint8_t>((kCbR * r + kCbG * g + kCbB * b + kCOffset16) >> 19);
    uv[2 * x + 1] = static_cast<std::uint8_t>((kCrR * r + kCrG * g + kCrB * b + kCOffset16) >> 19);
  }
}

// `width` and `height` are the output size.
void halveBaseline(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY, int dstYStride,
                   std::uint8_t* dstUV, int dstUVStride) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(2 * row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    const std::uint8_t* s2 = s1 + srcStride;
    const std::uint8_t* s3 = s2 + srcStride;
    lumaRowHalf(s0, s1, dstY + static_cast<std::ptrdiff_t>(row) * dstYStride, 0, width);
    lumaRowHalf(s2, s3, dstY + static_cast<std::ptrdiff_t>(row + 1) * dstYStride, 0, width);
    chromaRowHalf(s0, s1, s2, s3, dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride, 0, width / 2);
  }
}

// AVX2 by hand for the same-size path, 16 pixels per step: widen to 16 bits,
// multiply-add against the coefficients, pack back; the scalar loops finish
// each row.
[[gnu::target("avx2")]] inline __m256i lumaOf8(__m256i px, __m256i coef, __m256i offset) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi8(px, zero), coef);         // pixels 0,1 | 4,5
  const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi8(px, zero), coef);         // pixels 2,3 | 6,7
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(lo, hi), offset), 15);  // 0-3 | 4-7
}

// Packs two vectors of eight 32-bit values, lane-split as 0-3 | 4-7, into 16
// bytes in order.
[[gnu::target("avx2")]] inline __m128i packInOrder(__m256i a, __m256i b) {
  const __m256i words = _mm256_packs_epi32(a, b);  // a0-3 b0-3 | a4-7 b4-7
  const __m256i bytes = _mm256_packus_epi16(words, words);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0)));
}

[[gnu::target("avx2")]] void lumaRowAvx2(const std::uint8_t* s, std::uint8_t* y, int width) {
  const __m256i coef = _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
  const __m256i offset = _mm256_set1_epi32(kYOffset);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x + 32));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x),
                     packInOrder(lumaOf8(a, coef, offset), lumaOf8(b, coef, offset)));
  }
  lumaRow(s, y, x, width);
}

// Cb and Cr of four 2x2 blocks (eight pixels of two rows), lane-split as
// cb0 cr0 cb1 cr1 | cb2 cr2 cb3 cr3.
[[gnu::target("avx2")]] inline __m256i chromaOf8(__m256i row0, __m256i row1, __m256i cbCoef, __m256i crCoef,
                                                 __m256i offset) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(row0, zero), _mm256_unpacklo_epi8(row1, zero));
  const __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(row0, zero), _mm256_unpackhi_epi8(row1, zero));
  // Add each pixel to its right neighbour: the low 64 bits hold the block sums.
  const __m256i sumLo = _mm256_add_epi16(lo, _mm256_bsrli_epi128(lo, 8));  // block 0 | block 2
  const __m256i sumHi = _mm256_add_epi16(hi, _mm256_bsrli_epi128(hi, 8));  // block 1 | block 3
  const __m256i blocks = _mm256_unpacklo_epi64(sumLo, sumHi);              // blocks 0,1 | 2,3
  const __m256i cb = _mm256_madd_epi16(blocks, cbCoef);
  const __m256i cr = _mm256_madd_epi16(blocks, crCoef);
  const __m256i both = _mm256_hadd_epi32(cb, cr);                // cb0 cb1 cr0 cr1 | cb2 cb3 cr2 cr3
  const __m256i interleaved = _mm256_shuffle_epi32(both, 0xD8);  // cb0 cr0 cb1 cr1 | ...
  return _mm256_srai_epi32(_mm256_add_epi32(interleaved, offset), 17);
}

[[gnu::target("avx2")]] void chromaRowAvx2(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* uv,
                                           int pairs) {
  const __m256i cbCoef =
      _mm256_setr_epi16(kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0);
  const __m256i crCoef =
      _mm256_setr_epi16(kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0);
  const __m256i offset = _mm256_set1_epi32(kCOffset);
  int x = 0;
  for (; x + 8 <= pairs; x += 8) {
    const std::uint8_t* a = s0 + 8 * x;
    const std::uint8_t* b = s1 + 8 * x;
    const __m256i first = chromaOf8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), cbCoef, crCoef, offset);
    const __m256i second =
        chromaOf8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32)),
                  _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)), cbCoef, crCoef, offset);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * x), packInOrder(first, second));
  }
  chromaRow(s0, s1, uv, x, pairs);
}

[[gnu::target("avx2")]] void convertAvx2(const std::uint8_t* src, int srcStride, int width, int height,
                                         std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    lumaRowAvx2(s0, dstY + static_cast<std::ptrdiff_t>(row) * dstYStride, width);
    lumaRowAvx2(s1, dstY + static_cast<std::ptrdiff_t>(row + 1) * dstYStride, width);
    chromaRowAvx2(s0, s1, dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride, width / 2);
  }
}

void convertBaseline(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY, int dstYStride,
                     std::uint8_t* dstUV, int dstUVStride) {
  convertRows(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
}

// Halving by hand: shuffle each channel's horizontal neighbours together and
// add them with maddubs, add the row pairs (16-bit 2x2 sums), then the same
// multiply-adds as above. 32 source pixels of four rows per step: 16 luma of
// two rows and 8 chroma pairs.
[[gnu::target("avx2")]] inline __m256i pairSums(const std::uint8_t* p) {
  // b0 b1 g0 g1 r0 r1 -- -- b2 b3 g2 g3 r2 r3 -- -- in each lane.
  const __m256i mask = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, -1, -1, 8, 12, 9, 13, 10, 14, -1, -1, 0, 4, 1, 5, 2, 6, -1,
                                        -1, 8, 12, 9, 13, 10, 14, -1, -1);
  const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_maddubs_epi16(_mm256_shuffle_epi8(px, mask), _mm256_set1_epi8(1));
}

// 2x2 block sums of eight source pixels of two rows: outputs 0,1 | 2,3.
[[gnu::target("avx2")]] inline __m256i blockSums(const std::uint8_t* a, const std::uint8_t* b) {
  return _mm256_add_epi16(pairSums(a), pairSums(b));
}

// Luma of eight outputs from two block-sum vectors, lane-split as 0-3 | 4-7.
[[gnu::target("avx2")]] inline __m256i lumaHalf8(__m256i p, __m256i q, __m256i coef, __m256i offset) {
  const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(p, coef), _mm256_madd_epi16(q, coef));  // 0 1 4 5 | 2 3 6 7
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_permute4x64_epi64(sums, 0xD8), offset), 17);
}

// Cb Cr of four chroma samples from 4x2 sums of outputs 0,1 | 2,3 and 4,5 |
// 6,7: sample i adds outputs 2i and 2i+1.
[[gnu::target("avx2")]] inline __m256i chromaHalf4(__m256i p, __m256i q, __m256i cbCoef, __m256i crCoef,
                                                   __m256i offset) {
  const __m256i hp = _mm256_hadd_epi32(_mm256_madd_epi16(p, cbCoef), _mm256_madd_epi16(p, crCoef));
  const __m256i hq = _mm256_hadd_epi32(_mm256_madd_epi16(q, cbCoef), _mm256_madd_epi16(q, crCoef));
  const __m256i both = _mm256_hadd_epi32(hp, hq);  // samples 0, 2 | 1, 3
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_permute4x64_epi64(both, 0xD8), offset), 19);
}

[[gnu::target("avx2")]] void halveAvx2(const std::uint8_t* src, int srcStride, int width, int height,
                                       std::uint8_t* dstY, int dstYStride, std::uint8_t* dstUV, int dstUVStride) {
  const __m256i yCoef = _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
  const __m256i cbCoef =
      _mm256_setr_epi16(kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0);
  const __m256i crCoef =
      _mm256_setr_epi16(kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0);
  const __m256i yOff = _mm256_set1_epi32(kYOffset4);
  const __m256i cOff = _mm256_set1_epi32(kCOffset16);
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(2 * row) * srcStride;
    const std::uint8_t* s1 = s0 + srcStride;
    const std::uint8_t* s2 = s1 + srcStride;
    const std::uint8_t* s3 = s2 + srcStride;
    std::uint8_t* y0 = dstY + static_cast<std::ptrdiff_t>(row) * dstYStride;
    std::uint8_t* y1 = y0 + dstYStride;
    std::uint8_t* uv = dstUV + static_cast<std::ptrdiff_t>(row / 2) * dstUVStride;
    int x = 0;
    for (; x + 16 <= width; x += 16) {
      __m256i top[4], bottom[4];
      for (int i = 0; i < 4; ++i) {
        const int at = 8 * x + 32 * i;
        top[i] = blockSums(s0 + at, s1 + at);
        bottom[i] = blockSums(s2 + at, s3 + at);
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x),
                       packInOrder(lumaHalf8(top[0], top[1], yCoef, yOff), lumaHalf8(top[2], top[3], yCoef, yOff)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x), packInOrder(lumaHalf8(bottom[0], bottom[1], yCoef, yOff),
                                                                       lumaHalf8(bottom[2], bottom[3], yCoef, yOff)));
      __m256i tall[4];
      for (int i = 0; i < 4; ++i) tall[i] = _mm256_add_epi16(top[i], bottom[i]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x),
                       packInOrder(chromaHalf4(tall[0], tall[1], cbCoef, crCoef, cOff),
                                   chromaHalf4(tall[2], tall[3], cbCoef, crCoef, cOff)));
    }
    lumaRowHalf(s0, s1, y0, x, width);
    lumaRowHalf(s2, s3, y1, x, width);
    chromaRowHalf(s0, s1, s2, s3, uv, x / 2, width / 2);
  }
}

}  // namespace

bool useAvx2(SimdPath path) {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2 && path == SimdPath::best;
}

void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY, int dstYStride,
                     std::uint8_t* dstUV, int dstUVStride, SimdPath path) {
  if (useAvx2(path)) {
    convertAvx2(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  } else {
    convertBaseline(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  }
}

void bgrxToNv12Bt709Half(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* dstY,
                         int dstYStride, std::uint8_t* dstUV, int dstUVStride, SimdPath path) {
  if (useAvx2(path)) {
    halveAvx2(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  } else {
    halveBaseline(src, srcStride, width, height, dstY, dstYStride, dstUV, dstUVStride);
  }
}

}  // namespace qx::x11
