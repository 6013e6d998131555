#include "platform/linux/x11/nv12_converter.h"

#include <cstdlib>
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

TEST(Nv12Converter, OwnKernelsOnlyForSameOrHalfSizeEvenPictures) {
  EXPECT_TRUE(Nv12Converter(64, 32, 64, 32).usesKernel());
  EXPECT_TRUE(Nv12Converter(128, 64, 64, 32).usesKernel());
  EXPECT_FALSE(Nv12Converter(64, 32, 48, 24).usesKernel());
  EXPECT_FALSE(Nv12Converter(128, 64, 64, 30).usesKernel());
  EXPECT_FALSE(Nv12Converter(130, 60, 65, 30).usesKernel());
  EXPECT_FALSE(Nv12Converter(63, 32, 63, 32).usesKernel());
  EXPECT_FALSE(Nv12Converter(64, 32, 64, 32, Nv12Converter::Method::swscale).usesKernel());
}

struct KernelCase {
  int outW, outH, factor;
};

class Nv12OwnKernels : public ::testing::TestWithParam<KernelCase> {};

INSTANTIATE_TEST_SUITE_P(SameAndHalf, Nv12OwnKernels,
                         ::testing::Values(KernelCase{256, 128, 1}, KernelCase{250, 64, 1}, KernelCase{128, 64, 2}));

TEST_P(Nv12OwnKernels, MatchLibswscale) {
  // Gradients and noise everywhere, with flat tiles in between. At the same
  // size luma must agree within 1 everywhere; chroma (and, when halving,
  // where the filters differ, luma) within 1 inside the flat tiles.
  const int outW = GetParam().outW, outH = GetParam().outH, k = GetParam().factor;
  const int w = outW * k, h = outH * k;
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w * h * 4));
  std::uint32_t seed = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &px[static_cast<std::size_t>((y * w + x) * 4)];
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
  Nv12Converter kernel(w, h, outW, outH);
  Nv12Converter reference(w, h, outW, outH, Nv12Converter::Method::swscale);
  ASSERT_TRUE(kernel.usesKernel());
  PixelBuffer a(outW, outH), b(outW, outH);
  kernel.convert(px.data(), w * 4, a);
  reference.convert(px.data(), w * 4, b);
  int lumaOff = 0, chromaOff = 0, flatChecked = 0;
  const int tile = 16 / k;  // source tiles are 16x16
  for (int y = 0; y < outH; ++y) {
    for (int x = 0; x < outW; ++x) {
      const Yuv ka = sample(a, x, y), rb = sample(b, x, y);
      // Interior of a flat tile: the 2x2 chroma block and its neighbours are flat.
      const bool flatInterior = ((x / tile) + (y / tile)) % 2 == 0 && x % tile >= tile / 4 &&
                                x % tile < tile - tile / 4 && y % tile >= tile / 4 && y % tile < tile - tile / 4;
      if ((k == 1 || flatInterior) && std::abs(ka.y - rb.y) > 1) ++lumaOff;
      if (flatInterior && (std::abs(ka.cb - rb.cb) > 1 || std::abs(ka.cr - rb.cr) > 1)) ++chromaOff;
      flatChecked += flatInterior ? 1 : 0;
    }
  }
  EXPECT_EQ(lumaOff, 0);
  EXPECT_EQ(chromaOff, 0);
  EXPECT_GT(flatChecked, outW * outH / 16);  // the check covered real ground
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

TEST(Nv12Converter, ScalesByOtherFactorsThroughLibswscale) {
  const Rgb white{255, 255, 255}, green{0, 255, 0};
  const auto px = fill(640, 360, white, green, 320);
  Nv12Converter converter(640, 360, 480, 270);
  ASSERT_TRUE(converter.ok());
  EXPECT_FALSE(converter.usesKernel());
  PixelBuffer out(480, 270);
  converter.convert(px.data(), 640 * 4, out);
  expectNear(sample(out, 100, 100), bt709(white), 1);
  expectNear(sample(out, 400, 100), bt709(green), 1);
}

TEST(Nv12Converter, RefusesEmptySizes) {
  EXPECT_FALSE(Nv12Converter(0, 10, 10, 10).ok());
  EXPECT_FALSE(Nv12Converter(10, 10, 10, -2).ok());
}

}  // namespace
}  // namespace qx::x11
