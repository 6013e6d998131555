#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "platform/media.h"

namespace qx {

// The format every converter produces: 32-bit float, 48 kHz, stereo,
// interleaved (left, right, left, right, ...).
inline constexpr AudioFormat kConverterOutputFormat{SampleFormat::f32, 48000, 2, true};

// A stateful sample-format converter from one input format to
// kConverterOutputFormat. It keeps filter history and any samples it holds
// back between calls and is never flushed: the stream simply goes on with the
// next buffer. One thread at a time.
class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  // The format this converter was made for; buffers of any other format must
  // go to a new converter.
  virtual const AudioFormat& inputFormat() const = 0;

  // Converts all frames of `input` (whose format equals inputFormat() and
  // whose planes hold frameCount frames) and writes at most out.size() / 2
  // frames to `out`. Frames that do not fit stay inside the converter for the
  // next call. Returns the number of frames written, or absent on failure.
  virtual std::optional<std::size_t> convert(const AudioBuffer& input, std::span<float> out) = 0;
};

// Makes converters; may be called from any one thread at a time.
class AudioConverterFactory {
 public:
  virtual ~AudioConverterFactory() = default;
  // Null when no converter exists for `input` (unsupported layout or rate).
  [[nodiscard]] virtual std::unique_ptr<AudioConverter> make(const AudioFormat& input) = 0;
};

}  // namespace qx
