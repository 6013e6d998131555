#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

// Interleaved 16-bit stereo sine, both channels equal.
inline std::vector<std::int16_t> sineS16(double hz, int rate, int frames, double amplitude = 0.5) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    auto v = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * hz * i / rate)));
    out[2 * static_cast<std::size_t>(i)] = v;
    out[2 * static_cast<std::size_t>(i) + 1] = v;
  }
  return out;
}

// A 16-bit PCM WAV file's bytes.
inline std::string wavS16(const std::vector<std::int16_t>& interleaved, int rate, int channels) {
  auto le32 = [](std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  auto le16 = [](std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>(v >> 8));
  };
  const auto dataBytes = static_cast<std::uint32_t>(interleaved.size() * 2);
  std::string s = "RIFF";
  le32(s, 36 + dataBytes);
  s += "WAVEfmt ";
  le32(s, 16);
  le16(s, 1);
  le16(s, static_cast<std::uint16_t>(channels));
  le32(s, static_cast<std::uint32_t>(rate));
  le32(s, static_cast<std::uint32_t>(rate * channels * 2));
  le16(s, static_cast<std::uint16_t>(channels * 2));
  le16(s, 16);
  s += "data";
  le32(s, dataBytes);
  s.append(reinterpret_cast<const char*>(interleaved.data()), dataBytes);
  return s;
}

// Frequency of a tone from the first to the last upward zero crossing
// (linearly interpolated) of one channel of interleaved samples. 0 when
// fewer than two crossings.
template <class T>
double toneFrequency(std::span<const T> interleaved, int channels, int rate) {
  double first = -1, last = -1;
  int crossings = 0;
  const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
  for (std::size_t i = 1; i < frames; ++i) {
    double a = interleaved[(i - 1) * static_cast<std::size_t>(channels)];
    double b = interleaved[i * static_cast<std::size_t>(channels)];
    if (a < 0 && b >= 0) {
      double t = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / (last - first);
}

}  // namespace qx::test
