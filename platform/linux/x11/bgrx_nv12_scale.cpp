#include "platform/linux/x11/bgrx_nv12_scale.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace qx::x11 {

namespace {

using namespace bt709;
using Axis = BgrxNv12Scaler::Axis;

// Indexes the per-output tables with the ints the geometry works in.
template <typename T>
const T& at(const std::vector<T>& v, int i) {
  return v[static_cast<std::size_t>(i)];
}

// Rows weigh in Q15, columns in Q14. The vertical pass leaves 7 fraction
// bits (255 << 7 still fits a signed 16-bit lane), the horizontal one 6, so
// that sums of two rows fit as well.
constexpr int kRowBits = 15;
constexpr int kColumnBits = 14;
constexpr std::int32_t kYOffset6 = yOffset(21);
// Chroma adds the four pixels of a block: two more bits.
constexpr std::int32_t kCOffset6x4 = cOffset(23);

// The weights of one output, integers over a common total, from `first` on.
struct Taps {
  int first = 0;
  std::vector<std::int64_t> weights;
  std::int64_t total = 1;
};

// Source pixel j spans [j, j + 1) and output i spans [i, i + 1) * src / dst.
// Shrinking, the weights are the overlaps (area averaging); growing, the
// bilinear pair around the output's centre, held at the picture's edges.
Taps exactTaps(int src, int dst, int i) {
  if (dst <= src) {
    const std::int64_t from = std::int64_t{i} * src, to = from + src;  // in 1/dst source pixels
    Taps t{static_cast<int>(from / dst), {}, src};
    for (std::int64_t j = t.first; j * dst < to; ++j) {
      t.weights.push_back(std::min(to, (j + 1) * dst) - std::max(from, j * dst));
    }
    return t;
  }
  const std::int64_t centre = (2 * std::int64_t{i} + 1) * src - dst;  // in 1/(2 dst) source pixels
  if (centre <= 0) return {0, {1}, 1};
  const std::int64_t j = centre / (2 * dst), frac = centre % (2 * dst);
  if (j >= src - 1) return {src - 1, {1}, 1};
  return {static_cast<int>(j), {2 * dst - frac, frac}, 2 * dst};
}

// Rounded to `bits` fraction bits with the residue on the largest tap, so
// that flat areas stay exact; taps rounded to zero at either end dropped.
Taps fixedPoint(const Taps& exact, int bits) {
  const std::int64_t one = std::int64_t{1} << bits;
  Taps t{exact.first, {}, one};
  std::int64_t sum = 0;
  for (const std::int64_t w : exact.weights) {
    t.weights.push_back((w * one + exact.total / 2) / exact.total);
    sum += t.weights.back();
  }
  *std::max_element(t.weights.begin(), t.weights.end()) += one - sum;
  while (t.weights.front() == 0) {
    t.weights.erase(t.weights.begin());
    ++t.first;
  }
  while (t.weights.back() == 0) t.weights.pop_back();
  return t;
}

// `evenTaps` pads windows to tap pairs for the horizontal pass.
Axis makeAxis(int src, int dst, bool evenTaps, int bits) {
  std::vector<Taps> taps;
  Axis axis;
  for (int i = 0; i < dst; ++i) {
    taps.push_back(fixedPoint(exactTaps(src, dst, i), bits));
    const int count = static_cast<int>(taps.back().weights.size());
    axis.first.push_back(taps.back().first);
    axis.last.push_back(taps.back().first + count - 1);
    axis.taps = std::max(axis.taps, count);
  }
  if (evenTaps) axis.taps = std::max(2, (axis.taps + 1) & ~1);
  if (axis.taps > src) return {};
  // Windows that would run past the end start earlier, with zero weights in
  // front, so that every read stays inside the picture.
  axis.weights.assign(static_cast<std::size_t>(dst) * static_cast<std::size_t>(axis.taps), 0);
  for (int i = 0; i < dst; ++i) {
    const Taps& t = at(taps, i);
    axis.start.push_back(std::min(t.first, src - axis.taps));
    std::uint16_t* w = axis.weights.data() + static_cast<std::ptrdiff_t>(i) * axis.taps + (t.first - axis.start.back());
    for (const std::int64_t weight : t.weights) *w++ = static_cast<std::uint16_t>(weight);
  }
  return axis;
}

// The outputs [lo, hi) whose non-zero taps touch source pixels [from, to).
std::pair<int, int> reach(const Axis& axis, int from, int to) {
  int lo = static_cast<int>(axis.first.size()), hi = 0;
  for (int i = 0; i < static_cast<int>(axis.first.size()); ++i) {
    if (at(axis.first, i) < to && at(axis.last, i) >= from) {
      lo = std::min(lo, i);
      hi = i + 1;
    }
  }
  return {lo, hi};
}

// Vertical pass: `taps` source rows from `rows` into 16-bit channels with 7
// fraction bits, columns [c0, c1). Each tap is (p << 8) * w >> 16, as
// _mm256_mulhi_epu16 computes it.
[[gnu::always_inline]] inline void verticalRow(const std::uint8_t* __restrict rows, std::ptrdiff_t stride,
                                               const std::uint16_t* w, int taps, int c0, int c1,
                                               std::int16_t* __restrict out) {
  const auto tap = [](std::uint8_t p, std::uint16_t weight) {
    return static_cast<std::uint16_t>(((std::uint32_t{p} << 8) * weight) >> 16);
  };
  for (int i = 4 * c0; i < 4 * c1; ++i) out[i] = static_cast<std::int16_t>(tap(rows[i], w[0]));
  for (int k = 1; k < taps; ++k) {
    const std::uint8_t* row = rows + k * stride;
    for (int i = 4 * c0; i < 4 * c1; ++i) {
      out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(out[i]) + tap(row[i], w[k]));
    }
  }
}

// Source rows the next row pair will add: fetched into cache while the
// horizontal pass, which only reads scratch rows, computes.
struct Prefetch {
  const std::uint8_t* first = nullptr;
  std::ptrdiff_t stride = 0;
  int rows = 0;
  int bytes = 0;
};

struct RowPair {
  const std::int16_t* tmp0;
  const std::int16_t* tmp1;
  std::uint8_t* y0;
  std::uint8_t* y1;
  std::uint8_t* uv;
  Prefetch next;
};

struct Pixel {
  std::int32_t b = 0, g = 0, r = 0;
};

// One output pixel, 6 fraction bits: each tap rounded as _mm256_mulhrs_epi16
// does, (t * w + 2^14) >> 15.
[[gnu::always_inline]] inline Pixel filterPixel(const std::int16_t* tmp, const Axis& axis, int x) {
  Pixel px;
  const std::uint16_t* w = axis.weights.data() + static_cast<std::ptrdiff_t>(x) * axis.taps;
  const std::int16_t* p = tmp + 4 * static_cast<std::ptrdiff_t>(at(axis.start, x));
  for (int k = 0; k < axis.taps; ++k, p += 4) {
    px.b += (p[0] * w[k] + (1 << 14)) >> 15;
    px.g += (p[1] * w[k] + (1 << 14)) >> 15;
    px.r += (p[2] * w[k] + (1 << 14)) >> 15;
  }
  return px;
}

[[gnu::always_inline]] inline std::uint8_t lumaOf(Pixel p) {
  return static_cast<std::uint8_t>((kYB * p.b + kYG * p.g + kYR * p.r + kYOffset6) >> 21);
}

// Horizontal pass and colour conversion for outputs [x0, x1) of a row pair
// (x0, x1 even).
[[gnu::always_inline]] inline void horizontalRows(const RowPair& rp, const Axis& axis, int x0, int x1) {
  for (int x = x0; x < x1; x += 2) {
    const Pixel a0 = filterPixel(rp.tmp0, axis, x), b0 = filterPixel(rp.tmp0, axis, x + 1);
    const Pixel a1 = filterPixel(rp.tmp1, axis, x), b1 = filterPixel(rp.tmp1, axis, x + 1);
    rp.y0[x] = lumaOf(a0);
    rp.y0[x + 1] = lumaOf(b0);
    rp.y1[x] = lumaOf(a1);
    rp.y1[x + 1] = lumaOf(b1);
    const std::int32_t b = a0.b + b0.b + a1.b + b1.b;
    const std::int32_t g = a0.g + b0.g + a1.g + b1.g;
    const std::int32_t r = a0.r + b0.r + a1.r + b1.r;
    rp.uv[x] = static_cast<std::uint8_t>((kCbB * b + kCbG * g + kCbR * r + kCOffset6x4) >> 23);
    rp.uv[x + 1] = static_cast<std::uint8_t>((kCrB * b + kCrG * g + kCrR * r + kCOffset6x4) >> 23);
  }
}

void verticalBaseline(const std::uint8_t* rows, std::ptrdiff_t stride, const std::uint16_t* w, int taps, int c0, int c1,
                      std::int16_t* out) {
  verticalRow(rows, stride, w, taps, c0, c1, out);
}

void horizontalBaseline(const RowPair& rp, const Axis& axis, const std::int16_t* /*pairs*/, int x0, int x1) {
  horizontalRows(rp, axis, x0, x1);
}

// AVX2, vertical: eight pixels per step, the bytes widened to p << 8 and
// multiplied by the weight keeping the high half. `Taps` > 0 fixes the count
// at compile time for the common short filters.
template <int Taps>
[[gnu::target("avx2")]] void verticalAvx2(const std::uint8_t* rows, std::ptrdiff_t stride, const std::uint16_t* w,
                                          int taps, int c0, int c1, std::int16_t* out) {
  if constexpr (Taps > 0) taps = Taps;
  const __m256i zero = _mm256_setzero_si256();
  int c = c0;
  for (; c + 8 <= c1; c += 8) {
    __m256i lo = zero, hi = zero;
    const std::uint8_t* p = rows + 4 * static_cast<std::ptrdiff_t>(c);
    for (int k = 0; k < taps; ++k, p += stride) {
      // Qword order 0 2 1 3, so that unpacking keeps pixels in order.
      const __m256i px = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 0xD8);
      const __m256i wk = _mm256_set1_epi16(static_cast<std::int16_t>(w[k]));
      lo = _mm256_add_epi16(lo, _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, px), wk));
      hi = _mm256_add_epi16(hi, _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, px), wk));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * c), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * c + 16), hi);
  }
  verticalRow(rows, stride, w, taps, c, c1, out);
}

void verticalAvx2Any(const std::uint8_t* rows, std::ptrdiff_t stride, const std::uint16_t* w, int taps, int c0, int c1,
                     std::int16_t* out) {
  switch (taps) {
    case 1: return verticalAvx2<1>(rows, stride, w, taps, c0, c1, out);
    case 2: return verticalAvx2<2>(rows, stride, w, taps, c0, c1, out);
    case 3: return verticalAvx2<3>(rows, stride, w, taps, c0, c1, out);
    default: return verticalAvx2<0>(rows, stride, w, taps, c0, c1, out);
  }
}

// AVX2, horizontal: outputs x, x+1 | x+2, x+3 of one row, 16-bit b g r x
// with 6 fraction bits. Each lane loads two neighbouring filtered pixels
// (one tap pair) of one output and multiplies them by its weights; adding
// the two halves of each lane finishes the output.
template <int TapPairs>
[[gnu::target("avx2")]] inline __m256i filterFour(const std::int16_t* tmp, const int* start, const std::int16_t* pairs,
                                                  int x, int tapPairs) {
  if constexpr (TapPairs > 0) tapPairs = TapPairs;
  const auto load = [tmp](int pixel, int p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(tmp + 4 * static_cast<std::ptrdiff_t>(pixel) + 8 * p));
  };
  const std::int16_t* w = pairs + static_cast<std::ptrdiff_t>(x) * tapPairs * 16;  // x | x+2, then x+1 | x+3
  const std::ptrdiff_t next = static_cast<std::ptrdiff_t>(tapPairs) * 16;
  __m256i even = _mm256_setzero_si256(), odd = even;
  for (int p = 0; p < tapPairs; ++p, w += 16) {
    const __m256i a = _mm256_inserti128_si256(_mm256_castsi128_si256(load(start[x], p)), load(start[x + 2], p), 1);
    const __m256i b = _mm256_inserti128_si256(_mm256_castsi128_si256(load(start[x + 1], p)), load(start[x + 3], p), 1);
    even = _mm256_add_epi16(even, _mm256_mulhrs_epi16(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
    odd = _mm256_add_epi16(odd, _mm256_mulhrs_epi16(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + next))));
  }
  return _mm256_add_epi16(_mm256_unpacklo_epi64(even, odd), _mm256_unpackhi_epi64(even, odd));
}

// Packs two vectors of eight 32-bit values, lane-split as 0-3 | 4-7, into 16
// bytes in order.
[[gnu::target("avx2")]] inline __m128i packInOrder(__m256i a, __m256i b) {
  const __m256i words = _mm256_packs_epi32(a, b);  // a0-3 b0-3 | a4-7 b4-7
  const __m256i bytes = _mm256_packus_epi16(words, words);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0)));
}

// Eight luma values, lane-split as 0-3 | 4-7, from the terms of 0-3 and 4-7.
[[gnu::target("avx2")]] inline __m256i luma8(__m256i t0, __m256i t1) {
  const __m256i sums = _mm256_hadd_epi32(t0, t1);  // 0 1 4 5 | 2 3 6 7
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_permute4x64_epi64(sums, 0xD8), _mm256_set1_epi32(kYOffset6)), 21);
}

// Outputs x .. x+7 of both rows: luma of each row, lane-split 0-3 | 4-7, and
// Cb Cr of the four blocks in order.
struct Eight {
  __m256i luma0, luma1, chroma;
};

template <int TapPairs>
[[gnu::target("avx2")]] inline Eight eightOutputs(const RowPair& rp, const int* start, const std::int16_t* pairs, int x,
                                                  int tapPairs) {
  const __m256i yCoef = _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
  const __m256i cbCoef =
      _mm256_setr_epi16(kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0);
  const __m256i crCoef =
      _mm256_setr_epi16(kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0);
  __m256i luma0[2], luma1[2], chroma[2];
  for (int g = 0; g < 2; ++g) {
    const __m256i p0 = filterFour<TapPairs>(rp.tmp0, start, pairs, x + 4 * g, tapPairs);
    const __m256i p1 = filterFour<TapPairs>(rp.tmp1, start, pairs, x + 4 * g, tapPairs);
    luma0[g] = _mm256_madd_epi16(p0, yCoef);  // per output: b g terms, r term
    luma1[g] = _mm256_madd_epi16(p1, yCoef);
    const __m256i both = _mm256_add_epi16(p0, p1);
    chroma[g] = _mm256_hadd_epi32(_mm256_madd_epi16(both, cbCoef), _mm256_madd_epi16(both, crCoef));
  }
  // Adding the two columns of each block: cb cr of blocks 0 2 | 1 3.
  const __m256i blocks = _mm256_hadd_epi32(chroma[0], chroma[1]);
  const __m256i cbcr =
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_permute4x64_epi64(blocks, 0xD8), _mm256_set1_epi32(kCOffset6x4)), 23);
  return {luma8(luma0[0], luma0[1]), luma8(luma1[0], luma1[1]), cbcr};
}

template <int TapPairs>
[[gnu::target("avx2")]] void horizontalAvx2(const RowPair& rp, const Axis& axis, const std::int16_t* pairs, int x0,
                                            int x1) {
  const int* start = axis.start.data();
  const int tapPairs = axis.taps / 2;
  // Spread the prefetches evenly over the steps.
  const int lines = rp.next.rows * ((rp.next.bytes + 63) / 64);
  const int perStep = (lines + (x1 - x0) / 16) / std::max(1, (x1 - x0) / 16);
  int row = 0, offset = 0;
  int x = x0;
  for (; x + 16 <= x1; x += 16) {
    for (int i = 0; i < perStep && row < rp.next.rows; ++i) {
      _mm_prefetch(reinterpret_cast<const char*>(rp.next.first + row * rp.next.stride + offset), _MM_HINT_T0);
      offset += 64;
      if (offset >= rp.next.bytes) {
        offset = 0;
        ++row;
      }
    }
    const Eight first = eightOutputs<TapPairs>(rp, start, pairs, x, tapPairs);
    const Eight second = eightOutputs<TapPairs>(rp, start, pairs, x + 8, tapPairs);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rp.y0 + x), packInOrder(first.luma0, second.luma0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rp.y1 + x), packInOrder(first.luma1, second.luma1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rp.uv + x), packInOrder(first.chroma, second.chroma));
  }
  horizontalRows(rp, axis, x, x1);
}

void horizontalAvx2Any(const RowPair& rp, const Axis& axis, const std::int16_t* pairs, int x0, int x1) {
  switch (axis.taps) {
    case 2: return horizontalAvx2<1>(rp, axis, pairs, x0, x1);
    case 4: return horizontalAvx2<2>(rp, axis, pairs, x0, x1);
    default: return horizontalAvx2<0>(rp, axis, pairs, x0, x1);
  }
}

}  // namespace

BgrxNv12Scaler::BgrxNv12Scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight)
    : srcWidth_(srcWidth), srcHeight_(srcHeight), dstWidth_(dstWidth), dstHeight_(dstHeight) {
  if (srcWidth < 2 || srcHeight < 2 || dstWidth < 2 || dstHeight < 2 || dstWidth % 2 != 0 || dstHeight % 2 != 0) {
    return;
  }
  // Beyond this the Q14 taps of an area average get too coarse.
  if (srcWidth > 64 * dstWidth || srcHeight > 64 * dstHeight) return;
  columns_ = makeAxis(srcWidth, dstWidth, true, kColumnBits);
  rows_ = makeAxis(srcHeight, dstHeight, false, kRowBits);
  if (columns_.taps == 0 || rows_.taps == 0) return;
  const int tapPairs = columns_.taps / 2;
  columnPairs_.assign(static_cast<std::size_t>(dstWidth) * static_cast<std::size_t>(tapPairs) * 16, 0);
  for (int x = 0; x < dstWidth; ++x) {
    for (int p = 0; p < tapPairs; ++p) {
      std::int16_t* out = columnPairs_.data() + (static_cast<std::ptrdiff_t>(x) * tapPairs + p) * 16;
      for (int lane = 0; lane < 2 && x + 2 * lane < dstWidth; ++lane) {
        const std::uint16_t* w =
            columns_.weights.data() + static_cast<std::ptrdiff_t>(x + 2 * lane) * columns_.taps + 2 * p;
        for (int c = 0; c < 4; ++c) {
          out[8 * lane + c] = static_cast<std::int16_t>(w[0]);
          out[8 * lane + 4 + c] = static_cast<std::int16_t>(w[1]);
        }
      }
    }
  }
  rowScratch_.assign(static_cast<std::size_t>(srcWidth) * 8, 0);
  ok_ = true;
}

PixelRect BgrxNv12Scaler::destinationFor(PixelRect src) const {
  const PixelRect s = intersection(src, {0, 0, srcWidth_, srcHeight_});
  if (!ok_ || s.empty()) return {};
  const auto [x0, x1] = reach(columns_, s.x, s.right());
  const auto [y0, y1] = reach(rows_, s.y, s.bottom());
  return evenWithin({x0, y0, x1 - x0, y1 - y0}, dstWidth_, dstHeight_);
}

void BgrxNv12Scaler::convert(const std::uint8_t* src, int srcStride, std::uint8_t* dstY, int dstYStride,
                             std::uint8_t* dstUV, int dstUVStride, PixelRect dstRect, SimdPath path) {
  const PixelRect r = evenWithin(dstRect, dstWidth_, dstHeight_);
  if (!ok_ || r.empty()) return;
  // Only the source columns under the rectangle's taps are filtered.
  int c0 = srcWidth_, c1 = 0;
  for (int x = r.x; x < r.right(); ++x) {
    c0 = std::min(c0, at(columns_.start, x));
    c1 = std::max(c1, at(columns_.start, x) + columns_.taps);
  }
  const bool avx2 = useAvx2(path);
  const auto vertical = avx2 ? verticalAvx2Any : verticalBaseline;
  const auto horizontal = avx2 ? horizontalAvx2Any : horizontalBaseline;
  std::int16_t* tmp0 = rowScratch_.data();
  std::int16_t* tmp1 = tmp0 + 4 * static_cast<std::ptrdiff_t>(srcWidth_);
  for (int y = r.y; y < r.bottom(); y += 2) {
    for (int k = 0; k < 2; ++k) {
      const int row = y + k, first = at(rows_.first, row);
      const std::uint16_t* w =
          rows_.weights.data() + static_cast<std::ptrdiff_t>(row) * rows_.taps + (first - at(rows_.start, row));
      vertical(src + static_cast<std::ptrdiff_t>(first) * srcStride, srcStride, w, at(rows_.last, row) - first + 1, c0,
               c1, k == 0 ? tmp0 : tmp1);
    }
    Prefetch next;
    if (y + 2 < r.bottom()) {
      const int from = std::max(at(rows_.last, y + 1) + 1, at(rows_.first, y + 2));
      next = {src + static_cast<std::ptrdiff_t>(from) * srcStride + 4 * static_cast<std::ptrdiff_t>(c0), srcStride,
              at(rows_.last, y + 3) + 1 - from, 4 * (c1 - c0)};
    }
    const RowPair rp{tmp0,
                     tmp1,
                     dstY + static_cast<std::ptrdiff_t>(y) * dstYStride,
                     dstY + static_cast<std::ptrdiff_t>(y + 1) * dstYStride,
                     dstUV + static_cast<std::ptrdiff_t>(y / 2) * dstUVStride,
                     next};
    horizontal(rp, columns_, columnPairs_.data(), r.x, r.right());
  }
}

}  // namespace qx::x11
