#include "platform/linux/pulse/swr_converter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/backend/audio/tone.h"

namespace qx {
namespace {

AudioBuffer s16Buffer(std::span<const std::int16_t> interleaved, int rate) {
  AudioBuffer b;
  b.format = AudioFormat{SampleFormat::s16, rate, 2, true};
  b.frameCount = static_cast<int>(interleaved.size() / 2);
  const auto* p = reinterpret_cast<const std::uint8_t*>(interleaved.data());
  b.planes.emplace_back(p, p + interleaved.size_bytes());
  return b;
}

TEST(SwrConverterTest, ResamplesA44kToneTo48kWithoutLosingItsPitch) {
  SwrConverterFactory factory;
  const AudioFormat in{SampleFormat::s16, 44100, 2, true};
  auto converter = factory.make(in);
  ASSERT_TRUE(converter);
  EXPECT_EQ(converter->inputFormat(), in);

  const auto tone = test::sineS16(1000, 44100, 44100);
  std::vector<float> out;
  std::vector<float> scratch;
  // 10-ms buffers, as a sound server delivers them; never flushed.
  for (std::size_t at = 0; at < tone.size(); at += 441 * 2) {
    auto chunk = std::span<const std::int16_t>(tone).subspan(at, 441 * 2);
    scratch.assign((441 * 48000 / 44100 + 1024) * 2, 0.0f);
    auto produced = converter->convert(s16Buffer(chunk, 44100), scratch);
    ASSERT_TRUE(produced.has_value());
    out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(*produced * 2));
  }
  // A second of input gives a second of output, less what the filter holds back.
  EXPECT_GT(out.size() / 2, 47800u);
  EXPECT_LE(out.size() / 2, 48000u);
  EXPECT_NEAR(test::toneFrequency<float>(out, 2, 48000), 1000.0, 2.0);
  float peak = 0;
  for (float v : out) peak = std::max(peak, std::abs(v));
  EXPECT_NEAR(peak, 0.5f, 0.02f);
}

TEST(SwrConverterTest, FramesThatDoNotFitComeOutWithTheNextCall) {
  SwrConverterFactory factory;
  auto converter = factory.make(AudioFormat{SampleFormat::s16, 48000, 2, true});
  ASSERT_TRUE(converter);
  const auto tone = test::sineS16(440, 48000, 960);
  std::vector<float> small(200 * 2);
  auto first = converter->convert(s16Buffer(tone, 48000), small);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, 200u);
  std::vector<float> big(4000 * 2);
  auto second = converter->convert(s16Buffer(tone, 48000), big);
  ASSERT_TRUE(second.has_value());
  // Same rate: nothing held back by a filter, so nothing is lost either.
  EXPECT_EQ(*first + *second, 1920u);
}

TEST(SwrConverterTest, PlanarMonoFloatIsSpreadToBothChannels) {
  SwrConverterFactory factory;
  const AudioFormat mono{SampleFormat::f32, 48000, 1, false};
  auto converter = factory.make(mono);
  ASSERT_TRUE(converter);
  AudioBuffer b;
  b.format = mono;
  b.frameCount = 480;
  std::vector<float> samples(480, 0.25f);
  const auto* p = reinterpret_cast<const std::uint8_t*>(samples.data());
  b.planes.emplace_back(p, p + samples.size() * sizeof(float));
  std::vector<float> out(2000 * 2);
  auto produced = converter->convert(b, out);
  ASSERT_TRUE(produced.has_value());
  ASSERT_EQ(*produced, 480u);
  EXPECT_GT(out[100], 0.1f);
  EXPECT_FLOAT_EQ(out[100], out[101]);
}

TEST(SwrConverterTest, RefusesWhatItCannotConvert) {
  SwrConverterFactory factory;
  EXPECT_FALSE(factory.make(AudioFormat{SampleFormat::f32, 0, 2, true}));
  EXPECT_FALSE(factory.make(AudioFormat{SampleFormat::f32, 48000, 0, true}));
  EXPECT_FALSE(factory.make(AudioFormat{SampleFormat::f32, 48000, 65, true}));

  auto converter = factory.make(AudioFormat{SampleFormat::s16, 48000, 2, true});
  ASSERT_TRUE(converter);
  AudioBuffer wrong;  // float buffer to an s16 converter
  wrong.format = AudioFormat{SampleFormat::f32, 48000, 2, true};
  wrong.frameCount = 10;
  wrong.planes.emplace_back(80);
  std::vector<float> out(100);
  EXPECT_FALSE(converter->convert(wrong, out).has_value());
  AudioBuffer shortPlane;
  shortPlane.format = converter->inputFormat();
  shortPlane.frameCount = 10;
  shortPlane.planes.emplace_back(39);
  EXPECT_FALSE(converter->convert(shortPlane, out).has_value());
}

}  // namespace
}  // namespace qx
