#pragma once

#include <memory>

#include "platform/audio_converter.h"

namespace qx {

// Converters on libswresample: any of our sample formats, interleaved or
// planar, 1 to 64 channels (default channel layout for the count), any rate,
// to 48 kHz stereo float interleaved. Each converter keeps its resampler
// state between calls and is never flushed.
class SwrConverterFactory final : public AudioConverterFactory {
 public:
  [[nodiscard]] std::unique_ptr<AudioConverter> make(const AudioFormat& input) override;
};

}  // namespace qx
