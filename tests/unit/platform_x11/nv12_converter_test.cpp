#include "platform/linux/x11/nv12_converter.h"

#include "platform/linux/x11/bgrx_nv12_kernel.h"
#include "platform/linux/x11/bgrx_nv12_scale.h"

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qx::x11 {
namespace {

struct Rgb {
  int r, g, b;
};

// A BGRX picture, 4 bytes per pixel, filled by column ranges.
std::vector<std::uint8_t> fill(int w, int h, Rgb left, Rgb right, int splitX) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w * h * 4));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb c = x < splitX ? left : right;
      std::uint8_t* p = &px[static_cast<std::size_t>((y * w + x) * 4)];
      p[0] = static_cast<std::uint8_t>(c.b);
      p[1] = static_cast<std::uint8_t>(c.g);
      p[2] = static_cast<std::uint8_t>(c.r);
      p[3] = 0xff;
    }
  }
  return px;
}

struct Yuv {
  int y, cb, cr;
};

// BT.709 video range, computed from the definition rather than copied tables.
Yuv bt709(Rgb c) {
  const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  const double cb = (b - y) / 1.8556;
  const double cr = (r - y) / 1.5748;
  return {static_cast<int>(16 + 219 * y + 0.5), static_cast<int>(128 + 224 * cb + 0.5),
          static_cast<int>(128 + 224 * cr + 0.5)};
}

Yuv sample(const PixelBuffer& f, int x, int y) {
  const std::uint8_t* uv = f.plane(1) + (y / 2) * f.stride(1) + (x / 2) * 2;
  return {f.plane(0)[y * f.stride(0) + x], uv[0], uv[1]};
}

void expectNear(Yuv got, Yuv want, int tolerance) {
  EXPECT_LE(std::abs(got.y - want.y), tolerance) << "Y " << got.y << " want " << want.y;
  EXPECT_LE(std::abs(got.cb - want.cb), tolerance) << "Cb " << got.cb << " want " << want.cb;
  EXPECT_LE(std::abs(got.cr - want.cr), tolerance) << "Cr " << got.cr << " want " << want.cr;
}

class Nv12ConverterMethods : public ::testing::TestWithParam<Nv12Converter::Method> {};

TEST_P(Nv12ConverterMethods, FlatColoursMatchBt709VideoRange) {
  const Rgb colours[] = {{0, 0, 0},   {255, 255, 255}, {255, 0, 0},   {0, 255, 0},
                         {0, 0, 255}, {128, 128, 128}, {200, 30, 90}, {10, 180, 240}};
  Nv12Converter converter(64, 32, 64, 32, GetParam());
  ASSERT_TRUE(converter.ok());
  PixelBuffer out(64, 32);
  for (const Rgb& c : colours) {
    SCOPED_TRACE(testing::Message() << c.r << "," << c.g << "," << c.b);
    const auto px = fill(64, 32, c, c, 64);
    converter.convert(px.data(), 64 * 4, out);
    expectNear(sample(out, 10, 10), bt709(c), 1);
    expectNear(sample(out, 63, 31), bt709(c), 1);
  }
}

TEST_P(Nv12ConverterMethods, HonoursSourceStridePadding) {
  // Rows padded with white must not leak into a black picture.
  const int w = 32, h = 16, stride = (w + 8) * 4;
  std::vector<std::uint8_t> px(static_cast<std::size_t>(stride * h), 0xff);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &px[static_cast<std::size_t>(y * stride + x * 4)];
      p[0] = p[1] = p[2] = 0;
    }
  }
  Nv12Converter converter(w, h, w, h, GetParam());
  PixelBuffer out(w, h);
  converter.convert(px.data(), stride, out);
  expectNear(sample(out, w - 1, h - 1), bt709({0, 0, 0}), 1);
}

INSTANTIATE_TEST_SUITE_P(Both, Nv12ConverterMethods,
                         ::testing::Values(Nv12Converter::Method::fastest, Nv12Converter::Method::swscale));

TEST(Nv12Converter, OwnKernelsForEvenDestinations) {
  EXPECT_TRUE(Nv12Converter(64, 32, 64, 32).usesKernel());
  EXPECT_TRUE(Nv12Converter(128, 64, 64, 32).usesKernel());
  EXPECT_TRUE(Nv12Converter(64, 32, 48, 24).usesKernel());
  EXPECT_TRUE(Nv12Converter(64, 32, 100, 50).usesKernel());
  EXPECT_TRUE(Nv12Converter(63, 31, 64, 32).usesKernel());
  EXPECT_FALSE(Nv12Converter(130, 60, 65, 30).usesKernel());
  EXPECT_FALSE(Nv12Converter(63, 32, 63, 32).usesKernel());
  EXPECT_FALSE(Nv12Converter(1, 32, 2, 32).usesKernel());
  EXPECT_FALSE(Nv12Converter(64, 32, 64, 32, Nv12Converter::Method::swscale).usesKernel());
}

struct Sizes {
  int srcW, srcH, dstW, dstH;
};

std::ostream& operator<<(std::ostream& os, const Sizes& s) {
  return os << s.srcW << "x" << s.srcH << "->" << s.dstW << "x" << s.dstH;
}

class Nv12OwnKernels : public ::testing::TestWithParam<Sizes> {};

INSTANTIATE_TEST_SUITE_P(AllRatios, Nv12OwnKernels,
                         ::testing::Values(Sizes{256, 128, 256, 128}, Sizes{250, 64, 250, 64},   // same size
                                           Sizes{256, 128, 128, 64},                             // halving
                                           Sizes{256, 144, 192, 108}, Sizes{192, 108, 128, 72},  // 4:3, 3:2
                                           Sizes{250, 140, 176, 98}, Sizes{192, 128, 256, 96},   // odd, mixed
                                           Sizes{128, 72, 192, 108}, Sizes{96, 64, 256, 192}));  // up

TEST_P(Nv12OwnKernels, MatchLibswscale) {
  // Gradients and noise everywhere, with flat tiles in between. At the same
  // size luma must agree within 1 everywhere; chroma (and, where the filters
  // differ, luma) within 1 where the filters of both only see a flat tile.
  const Sizes z = GetParam();
  std::vector<std::uint8_t> px(static_cast<std::size_t>(z.srcW * z.srcH * 4));
  std::uint32_t seed = 12345;
  for (int y = 0; y < z.srcH; ++y) {
    for (int x = 0; x < z.srcW; ++x) {
      std::uint8_t* p = &px[static_cast<std::size_t>((y * z.srcW + x) * 4)];
      const bool flat = ((x / 16) + (y / 16)) % 2 == 0;
      seed = seed * 1664525u + 1013904223u;
      if (flat) {
        const int tile = (x / 16) * 37 + (y / 16) * 91;
        p[0] = static_cast<std::uint8_t>(tile * 7);
        p[1] = static_cast<std::uint8_t>(tile * 13);
        p[2] = static_cast<std::uint8_t>(tile * 3);
      } else {
        p[0] = static_cast<std::uint8_t>(seed >> 24);
        p[1] = static_cast<std::uint8_t>(x + y);
        p[2] = static_cast<std::uint8_t>(seed >> 16);
      }
      p[3] = 0;
    }
  }
  Nv12Converter kernel(z.srcW, z.srcH, z.dstW, z.dstH);
  Nv12Converter reference(z.srcW, z.srcH, z.dstW, z.dstH, Nv12Converter::Method::swscale);
  ASSERT_TRUE(kernel.usesKernel());
  PixelBuffer a(z.dstW, z.dstH), b(z.dstW, z.dstH);
  kernel.convert(px.data(), z.srcW * 4, a);
  reference.convert(px.data(), z.srcW * 4, b);
  // Whether the source span of a 2x2 output block, widened by either
  // filter's reach, lies inside one flat tile.
  const auto flatAround = [](int block, int dst, int src) {
    const double scale = static_cast<double>(src) / dst, reach = std::max(scale, 1.0) + 1;
    const int from = static_cast<int>(2 * block * scale - reach),
              to = static_cast<int>((2 * block + 2) * scale + reach);
    return from >= 0 && to < src && from / 16 == to / 16 ? from / 16 : -1;
  };
  const bool same = z.srcW == z.dstW && z.srcH == z.dstH;
  int lumaOff = 0, chromaOff = 0, flatChecked = 0;
  for (int y = 0; y < z.dstH; ++y) {
    for (int x = 0; x < z.dstW; ++x) {
      const Yuv ka = sample(a, x, y), rb = sample(b, x, y);
      const int tx = flatAround(x / 2, z.dstW, z.srcW), ty = flatAround(y / 2, z.dstH, z.srcH);
      const bool flat = tx >= 0 && ty >= 0 && (tx + ty) % 2 == 0;
      if ((same || flat) && std::abs(ka.y - rb.y) > 1) ++lumaOff;
      if (flat && (std::abs(ka.cb - rb.cb) > 1 || std::abs(ka.cr - rb.cr) > 1)) ++chromaOff;
      flatChecked += flat ? 1 : 0;
    }
  }
  EXPECT_EQ(lumaOff, 0);
  EXPECT_EQ(chromaOff, 0);
  EXPECT_GT(flatChecked, z.dstW * z.dstH / 20);  // the check covered real ground
}

TEST(Nv12Converter, ScalesDownKeepingLayout) {
  const Rgb red{255, 0, 0}, blue{0, 0, 255};
  const auto px = fill(640, 360, red, blue, 320);
  Nv12Converter converter(640, 360, 320, 180);
  ASSERT_TRUE(converter.ok());
  PixelBuffer out(320, 180);
  converter.convert(px.data(), 640 * 4, out);
  expectNear(sample(out, 40, 90), bt709(red), 1);
  expectNear(sample(out, 280, 90), bt709(blue), 1);
  // The split lands at the scaled position: still red just left of it.
  expectNear(sample(out, 156, 90), bt709(red), 1);
  expectNear(sample(out, 164, 90), bt709(blue), 1);
}

TEST(Nv12Converter, ScalesToOddSizesThroughLibswscale) {
  const Rgb white{255, 255, 255}, green{0, 255, 0};
  const auto px = fill(640, 360, white, green, 320);
  Nv12Converter converter(640, 360, 481, 271);
  ASSERT_TRUE(converter.ok());
  EXPECT_FALSE(converter.usesKernel());
  PixelBuffer out(481, 271);
  converter.convert(px.data(), 640 * 4, out);
  expectNear(sample(out, 100, 100), bt709(white), 1);
  expectNear(sample(out, 400, 100), bt709(green), 1);
}

TEST(Nv12Converter, RefusesEmptySizes) {
  EXPECT_FALSE(Nv12Converter(0, 10, 10, 10).ok());
  EXPECT_FALSE(Nv12Converter(10, 10, 10, -2).ok());
}

void scribble(std::vector<std::uint8_t>& px, int stride, PixelRect r, std::mt19937& rng) {
  for (int y = r.y; y < r.bottom(); ++y) {
    for (int i = 4 * r.x; i < 4 * r.right(); ++i) px[static_cast<std::size_t>(y * stride + i)] = rng() & 0xff;
  }
}

// Where two pictures first differ, or "" (stride padding included).
std::string firstDifference(const PixelBuffer& a, const PixelBuffer& b) {
  for (int plane = 0; plane < 2; ++plane) {
    const int rows = plane == 0 ? a.height() : (a.height() + 1) / 2;
    for (int i = 0; i < a.stride(plane) * rows; ++i) {
      if (a.plane(plane)[i] != b.plane(plane)[i]) {
        return "plane " + std::to_string(plane) + " x " + std::to_string(i % a.stride(plane)) + " row " +
               std::to_string(i / a.stride(plane));
      }
    }
  }
  return "";
}

struct ReachCase {
  Sizes sizes;
  PixelRect src, dst;
};

TEST(Nv12Converter, DestinationForCoversEveryReader) {
  const ReachCase cases[] = {
      {{64, 32, 64, 32}, {5, 3, 1, 1}, {4, 2, 2, 2}},    // same size: the 2x2 chroma block
      {{64, 32, 64, 32}, {-3, -3, 4, 4}, {0, 0, 2, 2}},  // clipped to the picture
      {{64, 32, 64, 32}, {70, 0, 4, 4}, {}},             // outside
      {{128, 64, 64, 32}, {5, 3, 1, 1}, {2, 0, 2, 2}},   // halving
      {{128, 64, 64, 32}, {3, 4, 2, 4}, {0, 2, 4, 2}},   // halving, two outputs wide
      {{64, 32, 48, 24}, {4, 4, 1, 1}, {2, 2, 2, 2}},    // 4:3: [4, 5) lies inside output 3
      {{64, 32, 48, 24}, {5, 5, 1, 1}, {2, 2, 4, 4}},    // 4:3: [5, 6) straddles outputs 3 and 4
      {{32, 16, 48, 24}, {1, 0, 1, 1}, {0, 0, 4, 2}},    // 2:3 bilinear: outputs 1-3 read column 1
      {{32, 16, 48, 24}, {2, 15, 1, 1}, {2, 22, 4, 2}},  // ... 2-4 read column 2; the last row, held
      {{64, 32, 63, 31}, {5, 5, 1, 1}, {0, 0, 63, 31}},  // libswscale: everything
  };
  for (const ReachCase& c : cases) {
    const Nv12Converter converter(c.sizes.srcW, c.sizes.srcH, c.sizes.dstW, c.sizes.dstH);
    const PixelRect got = converter.destinationFor(c.src);
    EXPECT_EQ(got, c.dst) << c.sizes << " from " << c.src.x << "," << c.src.y << " got " << got.x << "," << got.y << " "
                          << got.width << "x" << got.height;
  }
}

class Nv12Regions : public ::testing::TestWithParam<Sizes> {};

INSTANTIATE_TEST_SUITE_P(AllKernels, Nv12Regions,
                         ::testing::Values(Sizes{98, 64, 98, 64}, Sizes{196, 128, 98, 64}, Sizes{160, 96, 120, 72},
                                           Sizes{150, 90, 100, 60}, Sizes{101, 67, 74, 50}, Sizes{64, 48, 98, 72},
                                           Sizes{250, 60, 70, 80}, Sizes{96, 64, 71, 47}));

TEST_P(Nv12Regions, RefreshingWhatARectangleReachesEqualsConvertingWhole) {
  // The capture keeps one picture up to date by redoing only what changed.
  const Sizes z = GetParam();
  Nv12Converter converter(z.srcW, z.srcH, z.dstW, z.dstH);
  ASSERT_TRUE(converter.ok());
  std::mt19937 rng(static_cast<std::uint32_t>(z.srcW * 1000 + z.dstW));
  std::vector<std::uint8_t> px(static_cast<std::size_t>(z.srcW * z.srcH * 4));
  scribble(px, z.srcW * 4, {0, 0, z.srcW, z.srcH}, rng);
  PixelBuffer patched(z.dstW, z.dstH), whole(z.dstW, z.dstH);
  converter.convert(px.data(), z.srcW * 4, patched);
  for (int round = 0; round < 60; ++round) {
    // Mostly small rectangles, many of them against an edge.
    const int w = 1 + static_cast<int>(rng() % (round % 5 == 0 ? z.srcW : 7));
    const int h = 1 + static_cast<int>(rng() % (round % 5 == 0 ? z.srcH : 7));
    const int x = round % 3 == 0 ? 0 : (round % 3 == 1 ? z.srcW - w : static_cast<int>(rng() % (z.srcW - w + 1)));
    const int y = round % 2 == 0 ? static_cast<int>(rng() % (z.srcH - h + 1)) : (round % 4 == 1 ? 0 : z.srcH - h);
    scribble(px, z.srcW * 4, {x, y, w, h}, rng);
    converter.convertRect(px.data(), z.srcW * 4, patched, converter.destinationFor({x, y, w, h}));
    converter.convert(px.data(), z.srcW * 4, whole);
    ASSERT_EQ(firstDifference(patched, whole), "")
        << "round " << round << ": " << w << "x" << h << " at " << x << "," << y;
  }
}

struct PathCase {
  Sizes sizes;
  enum Kind { same, half, scaled } kind;
};

TEST(Nv12Kernels, Avx2AndBaselineGiveTheSameBytes) {
  if (!useAvx2(SimdPath::best)) GTEST_SKIP() << "no AVX2 here";
  const PathCase cases[] = {
      {{250, 64, 250, 64}, PathCase::same},    {{244, 128, 122, 64}, PathCase::half},
      {{244, 128, 122, 64}, PathCase::scaled}, {{256, 144, 194, 108}, PathCase::scaled},
      {{250, 140, 176, 98}, PathCase::scaled}, {{128, 72, 194, 108}, PathCase::scaled},
      {{250, 100, 74, 30}, PathCase::scaled},  // 3.4:1, two tap pairs
  };
  for (const PathCase& c : cases) {
    const Sizes z = c.sizes;
    std::mt19937 rng(7);
    std::vector<std::uint8_t> px(static_cast<std::size_t>(z.srcW * z.srcH * 4));
    scribble(px, z.srcW * 4, {0, 0, z.srcW, z.srcH}, rng);
    BgrxNv12Scaler scaler(z.srcW, z.srcH, z.dstW, z.dstH);
    PixelBuffer best(z.dstW, z.dstH), baseline(z.dstW, z.dstH);
    for (const SimdPath path : {SimdPath::best, SimdPath::baseline}) {
      PixelBuffer& out = path == SimdPath::best ? best : baseline;
      if (c.kind == PathCase::same) {
        bgrxToNv12Bt709(px.data(), z.srcW * 4, z.dstW, z.dstH, out.plane(0), out.stride(0), out.plane(1), out.stride(1),
                        path);
      } else if (c.kind == PathCase::half) {
        bgrxToNv12Bt709Half(px.data(), z.srcW * 4, z.dstW, z.dstH, out.plane(0), out.stride(0), out.plane(1),
                            out.stride(1), path);
      } else {
        scaler.convert(px.data(), z.srcW * 4, out.plane(0), out.stride(0), out.plane(1), out.stride(1),
                       {0, 0, z.dstW, z.dstH}, path);
      }
    }
    EXPECT_EQ(firstDifference(best, baseline), "") << z;
  }
}

}  // namespace
}  // namespace qx::x11
