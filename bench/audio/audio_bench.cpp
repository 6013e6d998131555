// CPU time per second of audio for the muxer's work: conversion of a
// captured source format to 48 kHz stereo float, then 20-ms Opus encoding and
// framing. Runs on one thread and prints figures; asserts nothing.

#include <opus.h>

#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "audio/audio_framing.h"
#include "audio/opus_encoder.h"
#include "platform/linux/pulse/swr_converter.h"

namespace {

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Music-like test signal: a few tones plus a little noise, 10-ms buffers.
std::vector<qx::AudioBuffer> makeSource(const qx::AudioFormat& format, int seconds) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.02);
  const int perBuffer = format.sampleRate / 100;
  std::vector<qx::AudioBuffer> buffers;
  long frame = 0;
  for (int b = 0; b < seconds * 100; ++b) {
    qx::AudioBuffer buf;
    buf.format = format;
    buf.frameCount = perBuffer;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(perBuffer) * 2 * qx::bytesPerSample(format.sampleFormat));
    for (int i = 0; i < perBuffer; ++i, ++frame) {
      double t = static_cast<double>(frame) / format.sampleRate;
      for (int ch = 0; ch < 2; ++ch) {
        double v = 0.3 * std::sin(2 * M_PI * 220 * t) + 0.2 * std::sin(2 * M_PI * (554 + ch) * t) +
                   0.1 * std::sin(2 * M_PI * 3300 * t) + noise(rng);
        std::size_t at = static_cast<std::size_t>(i) * 2 + static_cast<std::size_t>(ch);
        if (format.sampleFormat == qx::SampleFormat::s16) {
          auto s = static_cast<std::int16_t>(std::lround(v * 32767));
          std::memcpy(bytes.data() + at * 2, &s, 2);
        } else {
          auto f = static_cast<float>(v);
          std::memcpy(bytes.data() + at * 4, &f, 4);
        }
      }
    }
    buf.planes.push_back(std::move(bytes));
    buffers.push_back(std::move(buf));
  }
  return buffers;
}

void run(const char* name, const qx::AudioFormat& format, int seconds) {
  auto source = makeSource(format, seconds);
  qx::SwrConverterFactory factory;
  auto converter = factory.make(format);
  auto created = qx::OpusEncoder::create(48000, 2, 96000);
  if (!converter || !std::holds_alternative<std::unique_ptr<qx::OpusEncoder>>(created)) {
    std::printf("%s: setup failed\n", name);
    return;
  }
  auto& encoder = std::get<std::unique_ptr<qx::OpusEncoder>>(created);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

  std::vector<std::vector<float>> converted;
  converted.reserve(source.size());
  std::vector<float> scratch;
  const double c0 = threadCpuSeconds();
  for (const auto& buf : source) {
    scratch.resize((static_cast<std::size_t>(std::trunc(buf.frameCount * (48000.0 / format.sampleRate))) + 1024) * 2);
    auto produced = converter->convert(buf, scratch);
    if (!produced) continue;
    converted.emplace_back(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(*produced * 2));
  }
  const double c1 = threadCpuSeconds();
  qx::PendingSamples pending;
  std::size_t packets = 0, bytes = 0;
  for (const auto& samples : converted) {
    pending.append(samples);
    pending.drainWholeFrames([&](std::span<const float> frame) {
      unsigned char packet[qx::kMaxOpusPacketBytes];
      opus_int32 n = opus_encode_float(encoder->enc(), frame.data(), 960, packet, sizeof packet);
      if (n < 0) return;
      auto framed = qx::frameOpusPacket({packet, static_cast<std::size_t>(n)});
      (void)qx::writeAll(devNull, framed);
      ++packets;
      bytes += framed.size();
    });
  }
  const double c2 = threadCpuSeconds();
  ::close(devNull);

  const double audioSeconds = static_cast<double>(packets) * 0.02;
  std::printf(
      "%-28s %3d s audio: conversion %.2f ms/s, encoding+framing %.2f ms/s, total %.2f ms CPU per s "
      "(%.1f%% of one core), %.1f kbit/s\n",
      name, seconds, (c1 - c0) * 1000 / audioSeconds, (c2 - c1) * 1000 / audioSeconds, (c2 - c0) * 1000 / audioSeconds,
      (c2 - c0) / audioSeconds * 100, static_cast<double>(bytes) * 8 / audioSeconds / 1000);
}

}  // namespace

int main() {
  run("s16 44.1 kHz stereo", qx::AudioFormat{qx::SampleFormat::s16, 44100, 2, true}, 30);
  run("f32 48 kHz stereo", qx::AudioFormat{qx::SampleFormat::f32, 48000, 2, true}, 30);
  return 0;
}
